// PLACEHOLDER: the router variant is being written.
#include "platform/platform.h"
