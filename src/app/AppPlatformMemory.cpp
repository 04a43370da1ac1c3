// Returning freed heap memory to the system.
#include "app/AppPlatform.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

bool AppPlatform::releaseFreedMemory()
{
#if defined(__GLIBC__)
    // glibc keeps freed memory for reuse and only shrinks the top of the heap on its own; pages in between that
    // hold nothing any more are released here as well.
    malloc_trim(0);
    return true;
#else
    return false;
#endif
}
