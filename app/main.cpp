#include "Forms.h"
#include "TMainForm.h"

#include <QApplication>
#include <QMessageBox>

#include <exception>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    try {
        CreateForms();
        MainForm->show();
        app.exec();
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, QString::fromUtf8("Zarit монитор"), QString::fromUtf8(e.what()));
    }
    DestroyForms();
    return 0;
}
