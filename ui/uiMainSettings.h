#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;

// The program's own settings page: the TCP port on which the client listens
// for other users ("servers/tcpport"), used from the next login.
class uiMainSettings : public QWidget
{
    Q_OBJECT

public:
    explicit uiMainSettings(QWidget *parent = nullptr);

    void loadSettings();

private slots:
    void on_pushButton_clicked();

private:
    QLineEdit *m_port = nullptr;
    QLabel *m_portMessage = nullptr;
};
