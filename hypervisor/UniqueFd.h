// The owner of one file descriptor lives in platform/, beside the openers that hand one on.
#pragma once

#include "platform/UniqueFd.h"
