#pragma once

#include <QAction>
#include <QByteArray>
#include <QList>
#include <QString>
#include <QWidget>

class QToolBar;
class WTalkRendererWebView;

// The text item's editor: an editable page and a formatting tool bar. Enter
// sends the page's HTML as new "text" content and empties the editor;
// Shift+Enter makes a new line.
class TextPluginEditor : public QWidget
{
    Q_OBJECT

public:
    explicit TextPluginEditor(QWidget *parent = nullptr, const QList<QAction *> &extraActions = {});

    WTalkRendererWebView *webView() const { return m_view; }
    QToolBar *toolBar() const { return m_toolBar; }

    void resetEditor();
    QByteArray prepareHtmlForSending() const;
    void runEditorCommand(const QString &name);

    // The text after "<body ...>" up to "</body", or to the end.
    static QString extractElementContent(const QString &open, const QString &close, const QString &html);
    // Removes each element named name with its content.
    static QString removeElements(const QString &name, QString html);
    // Removes the tags of each element named name, keeping its content.
    static QString unwrapElements(const QString &name, QString html);

signals:
    void signalNewContentRequest(const QByteArray &data, const QString &pluginName);
    void signalFilesDropped(const QStringList &paths, bool allPictures);

public slots:
    void slotEditorEnterPressed();

private:
    QAction *addEditorAction(const QString &objectName, const QString &text, const QString &icon);

    WTalkRendererWebView *m_view;
    QToolBar *m_toolBar;
};
