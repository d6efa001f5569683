#pragma once

class MainWindow;
class QString;

// A hook for tests of an installed copy: with QUILLET_STARTUP_REPORT naming a file, the program
// writes there what its window found at start, once it has been shown for a second, and quits.
// One "key=value" line each:
//   folder              the executable's folder
//   language, texts     the configured language and the number of texts read from its file
//   languages           the language files beside the executable, by name, separated by " "
//   panel_pictures      pictures on the panel buttons that loaded, "N/M"
//   style_pictures      pictures the style sheets name that exist, "N/M"
//   missing             the files among those that do not exist, separated by "|"
//   arguments           the program's arguments after its own path, separated by "|"
class CStartupReport
{
public:
    static void scheduleIfAsked(MainWindow &window);
    static void write(const MainWindow &window, const QString &path);
};
