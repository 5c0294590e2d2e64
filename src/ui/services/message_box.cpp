#include "ui/services/message_box.h"

namespace sonquarry {
namespace {

std::string &Title() {
  static std::string title;
  return title;
}

// The texts come with CR line breaks; a CR LF pair is one break.
std::string LineBreaks(const std::string &Text) {
  std::string out;
  out.reserve(Text.size());
  for (size_t i = 0; i < Text.size(); ++i) {
    if (Text[i] != '\r') {
      out += Text[i];
    } else if (i + 1 >= Text.size() || Text[i + 1] != '\n') {
      out += '\n';
    }
  }
  return out;
}

} // namespace

void SetApplicationTitle(const std::string &Title_) { Title() = Title_; }
const std::string &ApplicationTitle() { return Title(); }

int ShowMessageBox(const std::string &Text, unsigned Flags) {
  return UserPrompts().MessageBox(Title(), LineBreaks(Text), Flags | MB_TOPMOST);
}

void ShowErrorMessage(const std::string &Text) { ShowMessageBox(Text, MB_ICONERROR); }
void ShowInfoMessage(const std::string &Text) { ShowMessageBox(Text, MB_ICONINFORMATION); }

} // namespace sonquarry
