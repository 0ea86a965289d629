#pragma once

#include <QString>

// Window-probe commands that work on any widget, found by a path of object
// names ("ownBrowser/treeWidget": the first anywhere, each next one inside
// the one before; "modal" is the open modal window, "window" the main
// window). A null answer: not one of these commands.
//
// Clicks and triggers run after the answer, so that a modal window they
// open can be driven by the next commands.
//
//   modal                  the open modal window's object name (its class
//                          when it has none), or "none"
//   accept                 accepts the open modal dialog
//   read PATH              the text of a line edit, text edit (one line) or
//                          label; the current tab's title of a tab widget
//   icon PATH TEXT         the colour (#rrggbb) in the middle of a list item's picture
//   text PATH VALUE        types VALUE into a line edit, or picks it in a combo box
//   check PATH 0|1         sets a check box
//   click PATH             clicks a button
//   trigger PATH           triggers an action
//   wizard next|finish     presses Next or Finish on the open wizard
//   tab PATH INDEX         shows that tab of a tab widget
//   button TEXT            triggers the main window's tool-bar button of that text
//   entries PATH           the top-level item texts of a tree or list, "|"-joined
//   activate PATH TEXT     activates (double-clicks) the item of that text
//   select PATH TEXT       selects only the items of that text ("|"-separated)
//   float PATH W H         floats a dock at that size
//   grab PATH FILE         saves a picture of the widget as FILE (PNG)
//   drop PATH LOCALPATHS   drops local files ("|"-separated) on a view, as a file manager does
//   drag PATH              starts dragging the view's selected items ("nothing
//                          to drag" when the view gives no data for them)
//   hover PATH TITLE       holds the drag over that tab of a tab widget
//   release PATH [TEXT]    drops the drag on the view's item of that text, or
//                          on its empty bottom edge
namespace WidgetCommands {
QString run(const QString &command, const QString &argument);
}
