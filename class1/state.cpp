// The class 1 state that outlives a call (see class1.h): one page scanner per
// channel, zero at load.
#include "class1/class1.h"

PageScan g_class1_page_scan[kMaxChannels] = {};
