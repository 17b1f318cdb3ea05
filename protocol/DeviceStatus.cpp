#include "protocol/DeviceStatus.h"

int ModelChannelCount(std::uint8_t modelCode) {
    switch (modelCode) {
        case ModelRV10: return 2;
        case ModelRV11: return 3;
        case ModelRV12: return 5;
        case ModelRV13: return 7;
        default: return 0;
    }
}
