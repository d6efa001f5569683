#pragma once

// What the program and the tools do before their application object exists, so that they run
// anywhere: on the offscreen platform when there is no display, with the web engine's sandbox off
// when running as root (it refuses to start otherwise), with the shared OpenGL contexts the web
// engine needs, and known to the desktop by its desktop entry.
class CPlatformSetup
{
public:
    static void prepare();
};
