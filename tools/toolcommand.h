#pragma once

#include <QStringList>
#include <functional>
#include <map>

// One subcommand of quillet-tool. A command file declares a static ToolCommand; its constructor
// registers the command before main() runs.
class ToolCommand
{
public:
    // Receives the arguments after the command name; returns the process exit status.
    using Run = std::function<int(const QStringList &args)>;

    ToolCommand(const char *name, const char *usage, Run run);

    struct Entry
    {
        QString usage;
        Run run;
    };
    static std::map<QString, Entry> &registry();
};
