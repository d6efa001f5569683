#include "commandlinehelp.h"

#include "appconfig.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QTextStream>

#include <cstring>

namespace {

const char *const helpNames[] = {"-h", "--help"};
const char *const versionNames[] = {"-v", "--version"};

bool isOneOf(const char *argument, const char *const (&names)[2])
{
    return std::strcmp(argument, names[0]) == 0 || std::strcmp(argument, names[1]) == 0;
}

QString commandsAndConfiguration()
{
    const QString folder = QDir::toNativeSeparators(AppConfig::configFolder());
    const QString hostsVariable = qEnvironmentVariable("QUILLET_HOSTS");
    return QStringLiteral(
               "\n"
               "Commands (letters in any case):\n"
               "  /SEL:X,Y,W,H    frame the rectangle with left X, top Y, width W and height H,\n"
               "                  in pixels of the full picture\n"
               "  /SELALL         frame the whole picture\n"
               "  /SAVEDATA:FILE  write the HTML report of the search to FILE\n"
               "  /START          start a search (ending one that runs)\n"
               "  /IDENTIFYALL    ask about every stamp of the picture instead, and list the\n"
               "                  answers (written to the /SAVEDATA: file too)\n"
               "The first selection command that fits wins.\n"
               "\n"
               "Only one copy runs at a time: a later start hands its whole argument list\n"
               "(picture and commands) to the running copy and ends.\n"
               "\n"
               "Configuration, in %1\n"
               "  config.cfg      language, results per site, folder of the last picture\n"
               "  hosts.cfg       hosts Quillet talks to, one \"key = value\" a line\n"
               "                  (recognition = 127.0.0.1:8711, a port may follow the host)\n"
               "Environment:\n"
               "  QUILLET_HOSTS   a further host file, read after hosts.cfg%2\n"
               "  QUILLET_DEBUG   1: as --verbose\n"
               "\n"
               "See quillet(1) for the host keys.\n")
        .arg(folder,
             hostsVariable.isEmpty() ? QString() : QStringLiteral(" (now: %1)").arg(hostsVariable));
}

} // namespace

bool CCommandLineHelp::isRequest(int argc, char *argv[])
{
    return argc > 1 && (isOneOf(argv[1], helpNames) || isOneOf(argv[1], versionNames));
}

int CCommandLineHelp::run(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillet"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUILLET_VERSION_STRING));
    QTextStream out(stdout);
    if (isOneOf(argv[1], versionNames)) {
        out << "quillet " << QUILLET_VERSION_STRING << "\n";
        return 0;
    }

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Identifies a postage stamp from a picture: frame the stamp, and Quillet asks a\n"
                       "recognition server, searches stamp catalogues and auction sites, compares every\n"
                       "candidate picture with yours and shows the matches."));
    parser.addOption({{QStringLiteral("h"), QStringLiteral("help")},
                      QStringLiteral("Show this help and end.")});
    parser.addOption({{QStringLiteral("v"), QStringLiteral("version")},
                      QStringLiteral("Show the version and end.")});
    parser.addOption({QStringLiteral("verbose"),
                      QStringLiteral("Let the toolkit's, the web engine's and OpenCV's own messages\n"
                                     "through to the terminal (as QUILLET_DEBUG=1 does).")});
    parser.addPositionalArgument(QStringLiteral("picture"),
                                 QStringLiteral("A BMP, GIF, PNG or JPEG picture to show."),
                                 QStringLiteral("[picture]"));
    parser.addPositionalArgument(QStringLiteral("commands"),
                                 QStringLiteral("Commands to carry out on it, below."),
                                 QStringLiteral("[command...]"));
    out << parser.helpText() << commandsAndConfiguration();
    return 0;
}
