// The exported class is defined in a later step; this unit checks the public header
// compiles on its own.
#include <zelto/ZeltoPayloadCompensator.h>
