#include "networks/gax_qor_svc_network_wiring.h"

#include <string>

#include "foundation/gax_strutils.h"
#include "networks/gax_qor_svc_network_service.h"

namespace gax {

void AddNetworksToService(TQORService& aService, const TQORNetworksList& aList,
                          uint32_t aManagersMask) {
    for (int32_t i = 0; i < aList.Count(); ++i) {
        auto* net = dynamic_cast<TQORServNetwork*>(aList.GetNetworkOriginal(i));
        if (net == nullptr) {
            throw Exception(std::u16string(u"Network #") +
                            ByteStrToUnicode(std::to_string(i)) +
                            u" is not a network object");
        }
        net->SetEffManagersMask(aManagersMask);
        aService.AddNetwork(std::make_unique<TQORNetworkMemberLink>(*net));
    }
}

}  // namespace gax
