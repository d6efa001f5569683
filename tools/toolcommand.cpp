#include "toolcommand.h"

ToolCommand::ToolCommand(const char *name, const char *usage, Run run)
{
    registry()[QString::fromUtf8(name)] = Entry{QString::fromUtf8(usage), std::move(run)};
}

std::map<QString, ToolCommand::Entry> &ToolCommand::registry()
{
    static std::map<QString, Entry> commands;
    return commands;
}
