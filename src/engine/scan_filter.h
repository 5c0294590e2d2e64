#pragma once
// Name masks, the allow/deny filter of a scan, and the forms of computer and share names that
// the filter lists use.

#include <string>
#include <string_view>
#include <vector>

namespace sonquarry {

// A list of names or masks whose lookups disregard case.
using TNameList = std::vector<std::string>;

// Index of the first entry equal to S without regard to case, -1 when there is none.
int IndexOfText(const TNameList &List, std::string_view S);

// '*' any run, '?' one character (at the end of the name also none), anything else literal.
// The name is lower-cased before matching (unless it equals the mask exactly); the mask is not.
// If the mask holds a dot and the name has no extension, the name gets a trailing dot.
bool NameFitsMask(std::string_view Name, std::string_view Mask);

// True as soon as Name fits one mask of List, in list order.
bool MatchesAny(const TNameList &List, std::string_view Name);
// (Allowed empty or Name fits one of Allowed) and Name fits none of Denied.
bool IsAllowed(const TNameList &Allowed, const TNameList &Denied, std::string_view Name);
// False only when Allowed is not empty and each of its entries stands in Denied as the same text.
bool ListsUsable(const TNameList &Allowed, const TNameList &Denied);

class TScanFilter {
public:
  // Computer masks with two leading backslashes.
  TNameList AllowedComps;
  TNameList DeniedComps;
  // Bare share names or patterns.
  TNameList AllowedRes;
  TNameList DeniedRes;
  // Enabled file extensions with their dot, such as ".mp3".
  TNameList Extentions;

  bool CompAllowed(std::string_view Name) const {
    return IsAllowed(AllowedComps, DeniedComps, Name);
  }
  bool ResAllowed(std::string_view Name) const { return IsAllowed(AllowedRes, DeniedRes, Name); }
  // Whole-string comparison without regard to case, no masks; an empty Ext is never allowed.
  bool ExtAllowed(std::string_view Ext) const;
  bool CompListsUsable() const { return ListsUsable(AllowedComps, DeniedComps); }
  bool ResListsUsable() const { return ListsUsable(AllowedRes, DeniedRes); }
  // Replaces all five lists of Other with copies of these.
  void AssignTo(TScanFilter &Other) const;
};

// Gives S two leading backslashes (keeping those already there).
std::string AddNetPrefix(std::string_view S);
// Drops two leading backslashes, or one if only one is there.
std::string RemoveNetPrefix(std::string_view S);
// The computer name of \\PC\share... (or of \\PC, or of \\a.b.c.d).
std::string ExtractCompName(std::string_view S);
// The share of \\PC\share[\...]; throws Exception "GetNetResName: <S> is not a NetBIOS
// resource name." on any other form.
std::string GetNetResName(std::string_view S);

} // namespace sonquarry
