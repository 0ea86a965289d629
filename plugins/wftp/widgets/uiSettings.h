#pragma once

#include <QWidget>

// The plug-in's page in the host's settings dialog: sharing has no settings
// of its own yet, and the page says so rather than stay blank.
class uiSettings : public QWidget
{
    Q_OBJECT

public:
    explicit uiSettings(QWidget *parent = nullptr);
};
