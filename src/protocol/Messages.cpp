#include "protocol/Messages.h"
