#include "WebPages.h"

namespace WebPages {
namespace {

const char kStyle[] =
    "body{font-family:sans-serif;margin:0;background:#f4f6f8;color:#223}"
    "header{background:#2b5d8a;color:#fff;padding:14px 24px;font-size:20px}"
    "header a{color:#fff;text-decoration:none}"
    "main{max-width:640px;margin:24px auto;background:#fff;padding:20px 28px;"
    "border-radius:6px;box-shadow:0 1px 3px rgba(0,0,0,.15)}"
    "h1{font-size:22px;margin-top:0}"
    "code{background:#eef;padding:1px 4px}"
    ".notice{color:#a11}"
    "input[type=password]{padding:4px;width:60%}";

QByteArray layout(const QString &title, const QString &bodyHtml)
{
    const QString html = QStringLiteral(
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<title>%1 - Wivora</title>\n<style>%2</style>\n</head>\n<body>\n"
        "<header><a href=\"/pages/program/startpage.aspx\">Wivora</a></header>\n"
        "<main>\n<h1>%1</h1>\n%3\n</main>\n</body>\n</html>\n")
        .arg(title.toHtmlEscaped(), QLatin1String(kStyle), bodyHtml);
    return html.toUtf8();
}

} // namespace

QByteArray startPage()
{
    return layout(QStringLiteral("Welcome"), QStringLiteral(
        "<p>You are signed in. Your contacts are on the left; open a plug-in from "
        "the tool bar to share files or send mail.</p>\n"
        "<ul>\n<li><a href=\"/pages/help/help.aspx\">Help</a></li>\n"
        "<li><a href=\"/pages/invitefriends.aspx\">Invite your friends</a></li>\n</ul>"));
}

QByteArray helpPage()
{
    return layout(QStringLiteral("Help"), QStringLiteral(
        "<h2>Contacts</h2>\n<p>Add a contact with <em>Add Contact</em>; you can talk "
        "and share once the contact has accepted.</p>\n"
        "<h2>Sharing files</h2>\n<p>Share a folder with a contact in the file-sharing "
        "plug-in, or publish a single file on the web with a link, an optional "
        "password and an end date. A published file stays on your computer and can "
        "be downloaded only while you are online.</p>\n"
        "<h2>Mail</h2>\n<p>Mail to a contact is delivered when the contact is "
        "online, or kept until then.</p>"));
}

QByteArray invitePage()
{
    return layout(QStringLiteral("Invite your friends"), QStringLiteral(
        "<p>Tell your friends about Wivora: once they have an account, add them "
        "as contacts by their user name.</p>\n"
        "<p><a href=\"/pages/help/help.aspx\">How contacts work</a></p>"));
}

QByteArray accountPage()
{
    return layout(QStringLiteral("Your Wivora account"), QStringLiteral(
        "<p>This service creates accounts on its own computer: the administrator "
        "runs the server's command line, for example</p>\n"
        "<p><code>wivora-server adduser NAME PASSWORD</code></p>\n"
        "<p>and then signs in with that name and password.</p>\n"
        "<p><a href=\"/pages/lostpassword.aspx\">Lost your password?</a></p>"));
}

QByteArray lostPasswordPage()
{
    return layout(QStringLiteral("Lost password"), QStringLiteral(
        "<p>Passwords are set by the administrator of this service. Ask them to "
        "give your account a new password.</p>"));
}

QByteArray notFoundPage()
{
    return messagePage(QStringLiteral("Not found"),
                       QStringLiteral("There is no page at this address."));
}

QByteArray messagePage(const QString &title, const QString &message)
{
    return layout(title, QStringLiteral("<p>%1</p>").arg(message.toHtmlEscaped()));
}

namespace {

QByteArray passwordFormPage(const QString &fileName, const QString &notice)
{
    QString body = QStringLiteral("<p>The file <strong>%1</strong> is protected by a password.</p>\n")
                       .arg(fileName.toHtmlEscaped());
    if (!notice.isEmpty())
        body += QStringLiteral("<p class=\"notice\">%1</p>\n").arg(notice.toHtmlEscaped());
    body += QStringLiteral(
        "<form method=\"post\">\n<label>Password <input type=\"password\" name=\"password\" "
        "autofocus></label>\n<button type=\"submit\">Download</button>\n</form>");
    return layout(QStringLiteral("Download a shared file"), body);
}

} // namespace

QByteArray passwordPage(const QString &fileName, bool wrongPassword)
{
    return passwordFormPage(fileName, wrongPassword ? QStringLiteral("The password is not correct.") : QString());
}

QByteArray passwordLaterPage(const QString &fileName, int retryAfterSeconds)
{
    return passwordFormPage(fileName, QStringLiteral("Too many wrong passwords were tried from your address. "
                                                 "Please try again in %1 seconds.")
                                      .arg(retryAfterSeconds));
}

} // namespace WebPages
