#pragma once

#include <QDateTime>
#include <QObject>
#include <QSharedPointer>
#include <QString>

class IWSignalDispatcher;
class QComboBox;
class SessionState;
class WivoraAccount;

// Account operations shared by the session controller, the local-command
// handler and the widgets: the own status, saving the account locally and on
// the server, the password, the host information and the country list.
//
// The operations are static; they reach the session and the event hub given
// once to setContext() by the session controller. Until then they do nothing
// and report failure.
class WCommonOperations : public QObject
{
    Q_OBJECT

public:
    // The listening port used when the account sets none.
    static constexpr int DefaultTcpPort = 1500;

    WCommonOperations() = delete;

    static void setContext(SessionState *session, IWSignalDispatcher *dispatcher);

    // Stores the status in the account, tells the program and the plug-ins,
    // tells the server and saves the account (to the server too).
    static void setUserStatus(int status);

    // Writes the account to "account.acc" in the user's folder (created when
    // missing), and first to the server when toServer is true. Saves are
    // serialised and each file write is atomic, so the file always holds one
    // whole account text. True when every requested save succeeded.
    static bool saveAccount(bool toServer);

    // Asks the server to change the password; only when it agreed does the
    // account take the new password and get saved. False, with nothing
    // changed locally, when the server refused or could not be asked.
    static bool changePassword(const QString &newPassword);

    // Adds one item per country: its flag, its English name, its code as data.
    static void fillCountryComboBox(QComboBox *box);

    // Tells the server this machine's addresses and listening port (the one
    // the session listens on, else the account's); keeps the address the
    // server sees as "externalIp". False when the server gave none.
    static bool sendHostInformation();

    // The account's listening port ("servers/tcpport"); DefaultTcpPort when
    // unset, not a number or not a port.
    static int listeningPort(const QSharedPointer<WivoraAccount> &account);

    // The server's save time of the user's account as last reported after a
    // successful save (per user; the machine-wide value of older versions is
    // the fallback). Invalid when none is known.
    static QDateTime lastAccountSaveTime(const QString &user);

private:
    // Takes the account's text and writes it to the user's file, under one
    // lock so that the file ends with the newest text. text gets the account
    // text even when the file cannot be written.
    static bool writeAccountFile(const QString &user, const QSharedPointer<WivoraAccount> &account,
                                 QString *text);
};
