#pragma once

#include "IWMailConversation.h"

#include <QStringList>
#include <QWeakPointer>
#include <QWidget>

class QAction;
class QLabel;
class QTreeWidget;

// A received files item inside the conversation page: its names and sizes,
// and saving (and opening) the selected files. The page's web engine owns
// it and may delete it while one of its dialogs runs.
class FilesRenderer : public QWidget
{
    Q_OBJECT

public:
    FilesRenderer(const QWeakPointer<IWMailConversation> &conversation, const QString &itemId,
                  const QByteArray &preview, QWidget *parent = nullptr);

    QTreeWidget *list() const { return m_list; }
    QString totalText() const;

    // Saves the selected files into folder; the saved paths, and in *errors
    // why others were not saved.
    QStringList saveSelectedTo(const QString &folder, QStringList *errors);

private slots:
    void on_actionSave_selected_files_triggered() { saveSelectedFiles(false); }
    void on_treeWidget_itemActivated() { saveSelectedFiles(true); }

private:
    void saveSelectedFiles(bool open);

    QWeakPointer<IWMailConversation> m_conversation;
    QString m_itemId;
    QAction *m_saveAction;
    QTreeWidget *m_list;
    QLabel *m_total;
};
