// Transport declarations of the platform's own interfaces.
#pragma once
#include "platform/com/connpt.h"
#include "platform/rpc/marshal.h"

NORVALT_RPC_FORWARD(plat::IConnectionPoint)

#define NORVALT_RPC_ICONNECTIONPOINTCONTAINER(M) M(FindConnectionPoint, 2)
NORVALT_RPC_INTERFACE(plat::IConnectionPointContainer, NORVALT_RPC_ICONNECTIONPOINTCONTAINER)

#define NORVALT_RPC_ICONNECTIONPOINT(M) \
    M(GetConnectionInterface, 1)        \
    M(GetConnectionPointContainer, 1)   \
    M(Advise, 2)                        \
    M(Unadvise, 1)
NORVALT_RPC_INTERFACE(plat::IConnectionPoint, NORVALT_RPC_ICONNECTIONPOINT)
