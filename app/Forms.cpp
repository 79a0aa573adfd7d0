#include "Forms.h"

#include "TMainForm.h"
#include "TSettingsForm.h"
#include "TfrmSettings.h"

TMainForm* MainForm = nullptr;
TSettingsForm* SettingsForm = nullptr;
TfrmSettings* frmSettings = nullptr;

void CreateForms()
{
    MainForm = new TMainForm;
    // Owned by the main window, so they stay above it and go with it.
    SettingsForm = new TSettingsForm(MainForm);
    QObject::connect(SettingsForm, &TSettingsForm::settingsAccepted, MainForm, &TMainForm::ApplySettings);
    frmSettings = new TfrmSettings(MainForm);
    QObject::connect(frmSettings, &TfrmSettings::saveRequested, MainForm, &TMainForm::miSettingsSaveClick);
    QObject::connect(frmSettings, &TfrmSettings::compareRequested, MainForm, &TMainForm::miSettingsCompareClick);
    QObject::connect(frmSettings, &TfrmSettings::reportRequested, MainForm, &TMainForm::miSettingsReportClick);
}

void DestroyForms()
{
    TMainForm* main = MainForm;
    frmSettings = nullptr;
    SettingsForm = nullptr;
    MainForm = nullptr;
    delete main;
}
