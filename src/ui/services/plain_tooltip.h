#pragma once
// A tool tip that shows its text as it is: Qt takes a tip that looks like HTML as rich text, and
// names and tags come from other machines.

#include <QString>

namespace sonquarry {

inline QString PlainToolTip(const QString &Text) {
  return Text.isEmpty() ? Text : "<p style='white-space:pre'>" + Text.toHtmlEscaped() + "</p>";
}

} // namespace sonquarry
