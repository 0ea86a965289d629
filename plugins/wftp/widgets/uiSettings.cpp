#include "uiSettings.h"

#include <QLabel>
#include <QVBoxLayout>

uiSettings::uiSettings(QWidget *parent)
    : QWidget(parent)
{
    setWindowTitle(QStringLiteral("uiSettings"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(tr("Nothing to set"), this));
    layout->addStretch();
}
