// The dial-up client.
#pragma once
#include "core.h"
