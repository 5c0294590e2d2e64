#include "settings/form_position.h"

#include "platform/os/exception.h"
#include "platform/registry/registry.h"

#include <algorithm>

namespace sonquarry {

void WriteFormPosition(const TFormPosition *Form, registry::TRegistry *Reg,
                       const std::string &Key) {
  if (!Form) throw Exception("WriteFormPosition: Form = nil.");
  if (!Reg) throw Exception("WriteFormPosition: Reg = nil.");
  if (!Reg->OpenKey(Key, true)) return;
  registry::TRegKeyCloser closer(*Reg);
  if (Form->Maximized) {
    Reg->WriteBool("Maximized", true);
    return;
  }
  Reg->WriteBool("Maximized", false);
  Reg->WriteInteger("Top", Form->Top);
  Reg->WriteInteger("Left", Form->Left);
  Reg->WriteInteger("Width", Form->Width);
  Reg->WriteInteger("Height", Form->Height);
}

void ReadFormPosition(TFormPosition *Form, registry::TRegistry *Reg, const std::string &Key,
                      TScreenSize Screen) {
  if (!Form) throw Exception("ReadFormPosition: Form = nil.");
  if (!Reg) throw Exception("ReadFormPosition: Reg = nil.");
  if (!Reg->OpenKeyReadOnly(Key)) return;
  registry::TRegKeyCloser closer(*Reg);
  if (Reg->ValueExists("Maximized") && Reg->ReadBool("Maximized")) Form->Maximized = true;
  if (Form->Maximized) return;
  // 64-bit sums: stored values near the 32-bit limits must not overflow the edge tests.
  const int64_t w = Screen.Width;
  const int64_t h = Screen.Height;
  int64_t top = Form->Top, left = Form->Left, width = Form->Width, height = Form->Height;
  if (Reg->ValueExists("Top")) top = std::max<int64_t>(Reg->ReadInteger("Top"), 0);
  if (Reg->ValueExists("Left")) left = std::max<int64_t>(Reg->ReadInteger("Left"), 0);
  if (Reg->ValueExists("Width")) {
    const int64_t v = Reg->ReadInteger("Width");
    width = v > 0 ? v : w - 5;
  }
  if (Reg->ValueExists("Height")) {
    const int64_t v = Reg->ReadInteger("Height");
    height = v > 0 ? v : h - 35;
  }
  if (left + width > w) {
    left = 0;
    if (width > w) width = w;
  }
  if (top + height > h) {
    top = 0;
    if (height > h) height = h;
  }
  Form->Top = static_cast<int32_t>(top);
  Form->Left = static_cast<int32_t>(left);
  Form->Width = static_cast<int32_t>(width);
  Form->Height = static_cast<int32_t>(height);
}

} // namespace sonquarry
