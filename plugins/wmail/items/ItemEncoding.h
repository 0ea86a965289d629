#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

class QWidget;

// Builds an item's data on the pool, so that reading, decoding and scaling
// big files never holds the window, while a window-modal progress dialog
// over the editor (shown only when the work lasts) counts the files done and
// lets the user cancel.
namespace ItemEncoding {

struct Result
{
    QByteArray data;
    // Why nothing can be sent, for the user.
    QString error;
};

// Runs on a pool thread. proceed(n) tells that n of the steps are done and
// answers false once the user cancelled.
using Work = std::function<Result(const std::function<bool(int)> &proceed)>;

// Returns at once. done gets the result on the editor's thread, unless the
// user cancelled or the editor went meanwhile.
void start(QWidget *editor, const QString &label, int steps, Work work, std::function<void(const Result &)> done);

} // namespace ItemEncoding
