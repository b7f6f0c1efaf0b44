// The core value types and error classes.
#pragma once
#include "uref.h"
#include "Strings.h"
#include "Containers.h"
#include "Handle.h"
#include "Exceptions.h"
