#include "PKLib.h"
