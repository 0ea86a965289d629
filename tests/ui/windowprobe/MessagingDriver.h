#pragma once

#include <QString>

// The WindowDriver's commands for the messaging plug-in's chat page, driven
// through its own editors, lists and tiles (found by class and object name,
// so the probe needs none of the plug-in's code). Paths are separated by "|".
//
//   page NAME                  shows the profile view's page NAME ("chat")
//   files PATHS                the files editor: adds PATHS, Send files
//   album PATHS                the photo-album editor: adds PATHS, Send files
//   items                      the page's items: "files:N albums:M"
//   save FOLDER                selects every file of the page's last files
//                              item, Save selected files into FOLDER: the
//                              number of files selected, or the warning shown
//   viewer                     double-clicks the front thumbnail of the last
//                              album: the number of pictures the viewer shows
namespace MessagingDriver {

// The answer, or empty when command is not one of these.
QString run(const QString &command, const QString &argument);

} // namespace MessagingDriver
