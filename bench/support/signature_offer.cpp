#include "support/signature_offer.h"

#include "vd_api.h"

namespace signature_offer {

void Offer(vdInstance &instance, const std::map<std::string, std::string> &paths_by_tag)
{
    instance.api_manager = std::make_shared<vdVelborApiManager>();
    instance.api_manager->SetBootstrapData(vdVelborApiData::agent, std::make_shared<vdVelborApiData>());
    vdVelborApiManager::Signatures offered;
    for (const auto &[tag, path] : paths_by_tag) {
        vdVelborApiData::Signature &signature = offered[tag];
        signature.tag = tag;
        signature.format = "velbor-dat";
        signature.version = 1;
        signature.encryption = "none";
        signature.path = path;
        signature.definition = json::object();
        signature.stamp = 1;
    }
    instance.api_manager->SetIntelSignatures(offered);
}

}  // namespace signature_offer
