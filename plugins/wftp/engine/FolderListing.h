#pragma once

#include <WDataStructure.h>

#include <QString>

// A contact's folder as the asking side got it: all of its rows, or why it
// has none. An empty folder and a failed listing never look alike.
struct FolderListing
{
    enum class Error {
        None,
        Refused,  // no such folder, or no right on it
        Busy,     // the owner kept refusing for load
        NoReply,  // no answer in time: the link is lost or the owner gone
        TooLarge, // more rows than a listing may hold here
        Damaged,  // a reply that breaks the listing's rules
    };

    WDataStructure rows;
    Error error = Error::None;

    bool ok() const { return error == Error::None; }
    static FolderListing failed(Error error);
    // For the user: why the folder shows nothing.
    static QString describe(Error error);
};
