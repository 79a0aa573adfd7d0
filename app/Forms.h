#pragma once

class TMainForm;
class TSettingsForm;
class TfrmSettings;

// The program's three windows, created once at start-up in this order and
// alive until it ends.
extern TMainForm* MainForm;
extern TSettingsForm* SettingsForm;
extern TfrmSettings* frmSettings;

// Creates the three windows in their order; the main window builds the link
// as it is created, before the other two exist. DestroyForms undoes it.
void CreateForms();
void DestroyForms();
