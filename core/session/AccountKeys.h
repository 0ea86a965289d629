#pragma once

#include <QString>

// Names the session controller and the account operations share: the
// logged-in account's file, its status setting and its in-memory keys.
namespace AccountKeys {
inline const QString AccountFileName = QStringLiteral("account.acc");
inline const QString UserStatusSetting = QStringLiteral("settings/common/userStatus");
// The password the session logs in again with; the account keeps it in
// memory only, never in its saved text.
inline const QString ReconnectPasswordKey = QStringLiteral("tempPassword");
}
