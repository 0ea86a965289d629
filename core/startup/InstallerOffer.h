#pragma once

#include <QCoreApplication>
#include <QString>
#include <QUrl>

#include <functional>

// The offer, at start-up, to run a client installer that the update check
// downloaded into the "update" folder. The offer is made once: the plug-in
// loader empties the "update" folder later in the same start.
class InstallerOffer
{
    Q_DECLARE_TR_FUNCTIONS(InstallerOffer)

public:
    enum class Outcome {
        NoInstaller, // nothing staged: nothing asked
        Declined,    // the user said no
        Opened,      // the installer was handed to the desktop: the program ends
        OpenFailed,  // the user said yes but it could not be opened: told, start goes on
    };

    // Asks the user; true for yes.
    using Question = std::function<bool(const QString &title, const QString &text)>;
    // Hands the file to the desktop's handler; true when that worked.
    using Opener = std::function<bool(const QUrl &file)>;
    // Tells the user something.
    using Notice = std::function<void(const QString &title, const QString &text)>;

    // With no arguments: message boxes without parent and the desktop's
    // default handler.
    InstallerOffer(Question question = Question(), Opener opener = Opener(), Notice notice = Notice());

    // The staged installer of this build: "<storage>/update/setup<build>.exe",
    // the name under which the update check stores it.
    static QString installerPath();

    static QString title();
    static QString questionText();
    // The text shown when the installer cannot be opened; names the site
    // where the newest version can be downloaded.
    static QString openFailedText(const QString &webAddress);

    Outcome run(const QString &installer = installerPath()) const;

private:
    Question m_question;
    Opener m_opener;
    Notice m_notice;
};
