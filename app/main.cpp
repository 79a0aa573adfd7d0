#include "Forms.h"
#include "LedPictures.h"
#include "TMainForm.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QStandardPaths>

#include <cstdio>
#include <exception>
#include <optional>

namespace {

const char* const kTitle = "Zarit монитор";

struct CommandLine {
    QCommandLineOption help{{"h", "help"}, "Show this help and exit."};
    QCommandLineOption version{{"v", "version"}, "Show the version and exit."};
    QCommandLineOption userFolder{
        "user-folder",
        "Work in the user's own folder, $XDG_DATA_HOME/zaritmon (by default ~/.local/share/zaritmon), "
        "created when missing, instead of the current folder. The desktop menu entry starts the program so."};
    QCommandLineOption pictures{
        "pictures",
        "Print the file each LED picture is read from and exit; the exit code is 1 when one of them is "
        "missing, so that it would be drawn instead."};
    QCommandLineParser parser;

    CommandLine()
    {
        parser.setApplicationDescription(
            "Monitoring and control station for a Zarit overcurrent protection relay over Modbus RTU.");
        // Qt's own options as single-dash words, like -platform.
        parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        parser.addOptions({help, version, userFolder, pictures});
        AddQtOptions();
    }

    // Accepted here and taken out of the command line by QApplication later,
    // which has to come after --help and --version so that they work without
    // a display.
    void AddQtOptions()
    {
        for (const char* name : {"platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
                                 "qwindowicon", "qwindowtitle", "session", "display", "geometry", "style",
                                 "stylesheet"}) {
            QCommandLineOption option(name, QString(), "value");
            option.setFlags(QCommandLineOption::HiddenFromHelp);
            parser.addOption(option);
        }
        for (const char* name : {"reverse", "widgetcount"}) {
            QCommandLineOption option(name);
            option.setFlags(QCommandLineOption::HiddenFromHelp);
            parser.addOption(option);
        }
    }
};

QString UserFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/zaritmon";
}

QString FilesHelp()
{
    const QString installed = LedPictures::InstalledFolder(QCoreApplication::applicationDirPath());
    return "\nFiles in the working folder, which is the current folder or, with --user-folder,\n" +
           UserFolder() +
           ":\n"
           "  ZaritMon.ini   the settings, read at start; the settings dialog writes them\n"
           "  journal/       the exchange journal, a file a day (JOURNALDIR in ZaritMon.ini\n"
           "                 moves it or turns it off)\n"
           "  ZaritMon-unwritten.txt\n"
           "                 beside the journal's folder: what the journal and the event\n"
           "                 files had not taken when the window closed, if anything\n"
           "  GreenLedOn.bmp, GreenLedOff.bmp, RedLedOn.bmp, RedLedOff.bmp\n"
           "                 the LED pictures, read at every refresh; those missing here are\n"
           "                 read from " +
           QDir::toNativeSeparators(installed) +
           "\n"
           "Saved logs and recordings go where their file dialog says; it opens in the\n"
           "working folder.\n";
}

// Prints where each picture comes from; 1 when one of them is missing.
int PrintPictures()
{
    const QStringList folders = LedPictures::SearchFolders();
    int status = 0;
    for (bool green : {true, false}) {
        for (bool lit : {true, false}) {
            const QString name = LedPictures::FileName(green, lit);
            const LedPictures::Found found = LedPictures::Find(name, folders);
            if (found.image.isNull())
                status = 1;
            const QString from = found.image.isNull() ? "missing, drawn instead"
                                                      : QFileInfo(found.path).absoluteFilePath();
            std::printf("%s: %s\n", qPrintable(name), qPrintable(QDir::toNativeSeparators(from)));
        }
    }
    return status;
}

// Reads the command line and does what needs no window. Returns the exit
// code when the program ends here; sets `error` when the working folder
// could not be made, for a window to say so.
std::optional<int> ReadCommandLine(QString& error)
{
    CommandLine line;
    QCommandLineParser& parser = line.parser;
    if (!parser.parse(QCoreApplication::arguments()) || !parser.positionalArguments().isEmpty()) {
        const QString message = parser.positionalArguments().isEmpty()
                                    ? parser.errorText()
                                    : "Unexpected argument '" + parser.positionalArguments().first() + "'.";
        std::fprintf(stderr, "zaritmon: %s\nTry 'zaritmon --help'.\n", qPrintable(message));
        return 2;
    }
    if (parser.isSet(line.help)) {
        std::printf("%s%s", qPrintable(parser.helpText()), qPrintable(FilesHelp()));
        return 0;
    }
    if (parser.isSet(line.version)) {
        std::printf("zaritmon %s\n", ZARIT_VERSION);
        return 0;
    }
    if (parser.isSet(line.userFolder)) {
        const QString folder = UserFolder();
        if (!QDir().mkpath(folder) || !QDir::setCurrent(folder))
            error = QString::fromUtf8("Не удалось открыть рабочую папку «%1».").arg(folder);
    }
    if (parser.isSet(line.pictures)) {
        if (!error.isEmpty()) {
            std::fprintf(stderr, "zaritmon: cannot work in %s\n", qPrintable(UserFolder()));
            return 1;
        }
        return PrintPictures();
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication::setApplicationName("zaritmon");
    QCoreApplication::setApplicationVersion(ZARIT_VERSION);
    QString folderError;
    {
        // Without a window system, so that --help and --version work without a display.
        QCoreApplication core(argc, argv);
        if (const std::optional<int> code = ReadCommandLine(folderError))
            return *code;
    }

    QApplication app(argc, argv);
    QGuiApplication::setDesktopFileName("zaritmon");
    if (!folderError.isEmpty()) {
        QMessageBox::critical(nullptr, QString::fromUtf8(kTitle), folderError);
        return 1;
    }
    try {
        CreateForms();
        MainForm->show();
        app.exec();
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, QString::fromUtf8(kTitle), QString::fromUtf8(e.what()));
    }
    DestroyForms();
    return 0;
}
