#pragma once

// The Responses transport and the two routers that classify what the user said.
#include "routing/ResponsesTransport.h"
#include "routing/RouteService.h"
#include "routing/WorkerAnswerService.h"
