#pragma once

#include <QtGlobal>

// What the program and the tools do before their application object exists, so that they run
// anywhere: on the offscreen platform when there is no display, with the web engine's sandbox off
// when running as root (it refuses to start otherwise), with the shared OpenGL contexts the web
// engine needs, and known to the desktop by its desktop entry.
class CPlatformSetup
{
public:
    // verbose: let the toolkit's, the web engine's and OpenCV's own messages through to the
    // terminal; otherwise only warnings that matter to a user show.
    static void prepare(bool verbose = false);

    // Whether "--verbose" is among the arguments or QUILLET_DEBUG=1 is set.
    static bool verboseAsked(int argc, char *argv[]);

    // A message that is the libraries' own chatter (diagnostics, start-up reports of the web
    // engine, the display plugin's notes), kept off the terminal unless asked for.
    static bool isChatter(QtMsgType type, const char *category, const QString &text);
};
