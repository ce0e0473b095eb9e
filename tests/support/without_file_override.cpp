#include "support/without_file_override.h"

#include <sys/syscall.h>
#include <unistd.h>

WithoutFileOverride::WithoutFileOverride() {
    header_.version = _LINUX_CAPABILITY_VERSION_3;
    if (::syscall(SYS_capget, &header_, saved_) != 0) {
        return;
    }
    __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
    reduced[0].effective &=
        ~((1U << CAP_DAC_OVERRIDE) | (1U << CAP_DAC_READ_SEARCH) | (1U << CAP_FOWNER));
    changed_ = ::syscall(SYS_capset, &header_, reduced) == 0;
}

WithoutFileOverride::~WithoutFileOverride() {
    if (changed_) {
        ::syscall(SYS_capset, &header_, saved_);
    }
}
