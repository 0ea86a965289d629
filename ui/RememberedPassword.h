#pragma once

#include <QString>

// The password kept for "Remember me". It lives in the desktop keyring when
// the program was built with one and a keyring answers; otherwise in the file
// "rememberedlogin" of the settings folder, readable by the user only. The
// settings file never holds it: one left there by an older version is moved
// out on the first read.
//
// Keyring calls wait with events flowing, so callers guard against being
// re-entered meanwhile. GUI thread only.
class RememberedPassword
{
public:
    RememberedPassword() = delete;

    // The password remembered for user; empty when there is none, or it was
    // remembered for someone else.
    static QString read(const QString &user);
    // Replaces what was remembered. False when it could be kept nowhere.
    static bool store(const QString &user, const QString &password);
    // Forgets the password, wherever it is kept.
    static void erase();

    // The fallback file's path.
    static QString filePath();
};
