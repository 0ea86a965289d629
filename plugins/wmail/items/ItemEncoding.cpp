#include "ItemEncoding.h"

#include <QFutureWatcher>
#include <QProgressDialog>
#include <QTimer>
#include <QtConcurrent>

#include <atomic>
#include <memory>

namespace {
// Quick work ends before any dialog shows.
constexpr int ShowProgressAfterMs = 400;
constexpr int ProgressRefreshMs = 100;

struct EncodingState
{
    std::atomic<int> done{0};
    std::atomic<bool> cancelled{false};
};
} // namespace

void ItemEncoding::start(QWidget *editor, const QString &label, int steps, Work work,
                         std::function<void(const Result &)> done)
{
    const auto shared = std::make_shared<EncodingState>();
    // Everything on the GUI side hangs from the dialog, which hangs from the
    // editor: an editor that goes takes the answer with it, while the work
    // holds only what it shares with nobody but this.
    auto *progress = new QProgressDialog(label, QObject::tr("Cancel"), 0, steps, editor);
    progress->setWindowModality(Qt::WindowModal);
    progress->setMinimumDuration(ShowProgressAfterMs);
    progress->setAutoClose(false);
    progress->setAutoReset(false);
    progress->setValue(0);
    QObject::connect(progress, &QProgressDialog::canceled, progress, [shared] { shared->cancelled = true; });
    auto *refresh = new QTimer(progress);
    refresh->callOnTimeout(progress, [progress, shared] { progress->setValue(shared->done); });
    refresh->start(ProgressRefreshMs);
    auto *watcher = new QFutureWatcher<Result>(progress);
    QObject::connect(watcher, &QFutureWatcherBase::finished, progress, [progress, watcher, shared, done] {
        const Result result = watcher->result();
        progress->hide();
        progress->deleteLater();
        if (!shared->cancelled)
            done(result);
    });
    watcher->setFuture(QtConcurrent::run([work, shared] {
        return work([shared](int finished) {
            shared->done = finished;
            return !shared->cancelled;
        });
    }));
}
