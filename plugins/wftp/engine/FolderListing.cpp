#include "FolderListing.h"

#include <QCoreApplication>

FolderListing FolderListing::failed(Error error)
{
    FolderListing listing;
    listing.error = error;
    return listing;
}

QString FolderListing::describe(Error error)
{
    switch (error) {
    case Error::None:
        return QString();
    case Error::Refused:
        return QCoreApplication::translate("FolderListing", "The folder is not available");
    case Error::Busy:
        return QCoreApplication::translate("FolderListing", "The owner is busy; try again later");
    case Error::NoReply:
        return QCoreApplication::translate("FolderListing", "The owner did not answer");
    case Error::TooLarge:
        return QCoreApplication::translate("FolderListing", "The folder holds too many entries to list");
    case Error::Damaged:
        return QCoreApplication::translate("FolderListing", "The owner sent a damaged listing");
    }
    return QString();
}
