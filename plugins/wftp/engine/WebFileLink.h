#pragma once

#include <QString>

// The public address of a file published on the web: the web server of the
// service ("service/publicsite") serves it under
// "/webfiles/<owner>/<{uuid}>.html" by asking the owner's client for it.
class WebFileLink
{
public:
    WebFileLink() = delete;

    static QString of(const QString &owner, const QString &fileId);
};
