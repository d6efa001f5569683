#include "platformsetup.h"

#include <QGuiApplication>

#include <opencv2/core/utils/logger.hpp>

#include <cstring>
#include <unistd.h>

namespace {

QtMessageHandler defaultHandler = nullptr;

void quietHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (!CPlatformSetup::isChatter(type, context.category, text))
        defaultHandler(type, context, text);
}

} // namespace

bool CPlatformSetup::isChatter(QtMsgType type, const char *category, const QString &text)
{
    if (type == QtDebugMsg || type == QtInfoMsg)
        return true;
    if (type == QtFatalMsg || type == QtCriticalMsg)
        return false;
    // The toolkit's own categories (display plugin, web engine, scene graph) speak to developers.
    if (category && (std::strncmp(category, "qt.", 3) == 0 || std::strcmp(category, "js") == 0))
        return true;
    // Notes the toolkit writes without a category of its own, about a setup that works as it is.
    static const char *const notes[] = {"QStandardPaths: XDG_RUNTIME_DIR", "No suitable graphics backend found",
                                        "This plugin does not support", "QUrl: QUrl::FullyDecoded is not permitted"};
    for (const char *note : notes) {
        if (text.startsWith(QLatin1String(note)))
            return true;
    }
    return false;
}

bool CPlatformSetup::verboseAsked(int argc, char *argv[])
{
    if (qEnvironmentVariable("QUILLET_DEBUG") == QLatin1String("1"))
        return true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--verbose") == 0)
            return true;
    }
    return false;
}

void CPlatformSetup::prepare(bool verbose)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (::geteuid() == 0 && qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX"))
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    // Without a display there is no GPU to use either.
    if (qEnvironmentVariableIsEmpty("QTWEBENGINE_CHROMIUM_FLAGS") && qgetenv("QT_QPA_PLATFORM") == "offscreen")
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu");
    if (!verbose) {
        defaultHandler = qInstallMessageHandler(quietHandler);
        // The browser engine's own log (console messages of the pages it shows, its processes).
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", qgetenv("QTWEBENGINE_CHROMIUM_FLAGS") + " --log-level=3");
        cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
    }
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    // The desktop entry's name, by which a desktop gives the window the entry's icon and name.
    QGuiApplication::setDesktopFileName(QStringLiteral("example.quillet.Quillet"));
}
