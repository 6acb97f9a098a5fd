#include "platform/ThreadPriority.h"

#include <system_error>
#include <pthread.h>
#include <sched.h>

namespace platform {

struct RealtimePriority::Saved {
    int policy = SCHED_OTHER;
    sched_param parameters{};
};

RealtimePriority::RealtimePriority(bool wanted) {
    if (!wanted) {
        description_ = "normal (not asked for)";
        return;
    }
    auto* saved = new Saved;
    if (pthread_getschedparam(pthread_self(), &saved->policy, &saved->parameters) != 0) {
        delete saved;
        description_ = "normal (the current policy could not be read)";
        return;
    }
    sched_param fifo{};
    fifo.sched_priority = kFifoPriority;
    const int refused = pthread_setschedparam(pthread_self(), SCHED_FIFO, &fifo);
    if (refused != 0) {
        delete saved;
        description_ = "normal (SCHED_FIFO refused: " + std::system_category().message(refused) + ")";
        return;
    }
    saved_ = saved;
    granted_ = Granted::Fifo;
    description_ = "SCHED_FIFO " + std::to_string(kFifoPriority);
}

RealtimePriority::~RealtimePriority() {
    if (saved_) {
        pthread_setschedparam(pthread_self(), saved_->policy, &saved_->parameters);
        delete saved_;
    }
}

} // namespace platform
