// Linked as an object into every test executable (not put in the support library, whose
// unreferenced objects the linker would drop): the web engine needs shared OpenGL contexts set before the application
// object exists, which QTEST_MAIN creates.
#include <QCoreApplication>

namespace {
const bool sharedContexts = [] {
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    return true;
}();
}
