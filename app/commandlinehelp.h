#pragma once

// "--help" and "--version" of the program. Every other argument list is handed to the running copy
// or to the main window as it stands, so these are recognised only as the first argument and only
// before anything else starts: the program prints and ends without taking the single-instance lock
// or sending its arguments anywhere.
class CCommandLineHelp
{
public:
    // True when the first argument is -h, --help, -v or --version.
    static bool isRequest(int argc, char *argv[]);
    // Prints the usage (with the command language and where the configuration lives) or the
    // version on standard output; returns the exit status.
    static int run(int argc, char *argv[]);
};
