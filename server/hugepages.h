#pragma once

#include <cstddef>

// Memory that a start fills at once (a hundred megabytes of catalogue rows, a stored file's body):
// asked to be backed by 2 MB pages where the system allows. In 4 KB pages such a block spends
// more time on page faults than on being filled (on a virtual machine several times more).
class CHugePages
{
public:
    // Advises the whole 2 MB pages within [data, data + length); nothing when there are none.
    static void advise(void *data, size_t length);
};
