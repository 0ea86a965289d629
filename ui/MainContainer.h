#pragma once

#include <QIcon>
#include <QMap>
#include <QPointer>
#include <QWidget>

class QStackedWidget;
class QWebView;

// The logged-in page of the main window: the service's start page and one
// page per plug-in main widget, one of them shown at a time.
class MainContainer : public QWidget
{
    Q_OBJECT

public:
    explicit MainContainer(QWidget *parent = nullptr);
    ~MainContainer() override;

    // Stacks the widget; a later widget with the same name takes the name.
    void addPluginWidget(const QString &name, const QIcon &icon, QWidget *widget);
    void showStartPage();
    // Loads the public site's start page (after each login).
    void loadStartPage();

    QWebView *startPage() const { return m_startPage; }
    QWidget *currentPage() const;

public slots:
    // Shows the page stacked under name; an unknown name changes nothing.
    void slotPluginSelected(const QString &name);
    void slotLinkClicked(const QUrl &url);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QStackedWidget *m_pages;
    QWebView *m_startPage;
    QMap<QString, QPointer<QWidget>> m_pluginWidgets;
};
