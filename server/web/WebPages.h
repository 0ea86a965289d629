#pragma once

#include <QByteArray>
#include <QString>

// The HTML pages of the service's two web sites, as UTF-8 bytes. Text taken
// from a request or a client is escaped by the functions that take it.
namespace WebPages {

// Public site.
QByteArray startPage();
QByteArray helpPage();
QByteArray invitePage();

// Account site.
QByteArray accountPage();
QByteArray lostPasswordPage();

// Answers of any route.
QByteArray notFoundPage();
QByteArray messagePage(const QString &title, const QString &message);

// The form that asks for a shared file's password and posts it back to the
// page's own address; `wrongPassword` adds a notice of a refused attempt.
QByteArray passwordPage(const QString &fileName, bool wrongPassword);
// The same form when a password was not checked because too many wrong ones
// came from the sender: it says when to try again.
QByteArray passwordLaterPage(const QString &fileName, int retryAfterSeconds);

} // namespace WebPages
