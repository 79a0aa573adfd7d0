#include "TSettingsForm.h"

TSettingsForm::TSettingsForm(QWidget* parent) : QDialog(parent)
{
    setObjectName("SettingsForm");
    setWindowTitle(QString::fromUtf8("Параметры связи"));
    setModal(false);
}
