#include "DialupClient.h"
