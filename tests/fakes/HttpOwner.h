#pragma once

#include "fakes/ClientOwner.h"
#include "net/Http.h"

using HttpOwner = ClientOwner<CHttp, WM_HTTP_LOOKUP_DONE>;
