// The restore sequence: the steps of the restore plan (driver/Plan.hpp), performed in
// order. The first failure ends it; what was done before stays done.
#include "driver/Restore.hpp"

#include "driver/Plan.hpp"

namespace corvo {

std::uint32_t restoreDomain(const DomainInfo& domain, const SubscriptionInfo& subscription) {
    for (const mail::Step& step : mail::restorePlan(domain, subscription))
        mail::performStep(domain, step);
    return 0;
}

} // namespace corvo
