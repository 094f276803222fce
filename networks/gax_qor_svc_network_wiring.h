// Hands the networks of a networks list to the service's heartbeat. The list
// owns its networks (one owner for the data part and the network object);
// the service gets a link per network that forwards to it (a
// TQORNetworkMemberLink without members), so the heartbeat drives every
// network in file order without owning it twice.
//
// Threads: called on the service thread at service start, before the
// heartbeat is enabled. REQUIRES: the list outlives the service's heartbeat
// (it is cleared only after the service has ended), and every network in it
// was made by TQORServNetwork::Factory.
#pragma once

#include "networks/gax_qor_svc_network.h"
#include "server/gax_qor_svc_server_id.h"

namespace gax {

// Adds a link for every network of aList, in file order (its index is its
// position), and sets each network's effective manager mask to aManagersMask.
// Raises when a network of the list is not a full network object.
void AddNetworksToService(TQORService& aService, const TQORNetworksList& aList,
                          uint32_t aManagersMask);

}  // namespace gax
