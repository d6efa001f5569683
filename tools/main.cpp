#include "toolcommand.h"

#include "app/platformsetup.h"

#include <QApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    // Some commands load web pages or paint; none needs a screen.
    CPlatformSetup::prepare(CPlatformSetup::verboseAsked(argc, argv));
    QApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    args.removeAll(QStringLiteral("--verbose"));
    QTextStream err(stderr);

    const auto &commands = ToolCommand::registry();
    const auto found = args.isEmpty() ? commands.end() : commands.find(args.first());
    if (found == commands.end()) {
        if (!args.isEmpty() && args.first() != "help" && args.first() != "--help")
            err << "quillet-tool: unknown command \"" << args.first() << "\"\n";
        err << "usage:\n";
        for (const auto &[name, entry] : commands)
            err << "  quillet-tool " << entry.usage << "\n";
        return args.isEmpty() || (args.first() != "help" && args.first() != "--help") ? 2 : 0;
    }
    args.removeFirst();
    return found->second.run(args);
}
