#pragma once
// What assistive technology sees of the result list: a table whose selected rows and cells come
// from the row selection's flags (Qt's own table interface asks the selection model's ranges,
// which the list keeps empty), and one selection event per change however many rows it spans.
// Cells are made only when asked for; children are numbered as Qt numbers a table view's, the
// header row and column counted, so that Qt's own focus events name the same cells.

#include <QAccessible>
#include <functional>

class QTableView;
class QItemSelection;

namespace sonquarry {

// Installs the interface for every TListView (once per process).
void InstallListAccessibility();

// Tells assistive technology of a selection change of View's rows (the rows of Changed now show
// their new state); nothing while none listens.
void NotifyListSelection(QTableView &View, const QItemSelection &Changed);

// Where those events go: Qt's accessibility while it is active, unless replaced (tests; an empty
// function restores it). Returns the one replaced.
using TAccessibleEventSink = std::function<void(QAccessibleEvent &Event)>;
TAccessibleEventSink SetListEventSink(TAccessibleEventSink Sink);

} // namespace sonquarry
