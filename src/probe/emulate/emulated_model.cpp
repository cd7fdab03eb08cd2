#include "probe/emulate/emulated_model.h"

#include "link/report_descriptor.h"
#include "link/transceiver.h"

// The report descriptors of data/descriptors, built in by
// qz_embed_descriptors: the program needs no data files.
#include "emulated_descriptors.h"

namespace qz::probe {

namespace {

EmulatedModel MakeModel(std::uint16_t productId, std::span<const std::uint8_t> descriptor)
{
    EmulatedModel model;
    model.productId = productId;
    model.descriptor = descriptor;
    // The lengths come from the very bytes the kernel gets; the descriptors
    // are known to be sound (the tests parse them too).
    const auto info = ParseReportDescriptor(descriptor);
    if (info) {
        model.lengths = {info->inputReportLength, info->outputReportLength};
    }
    return model;
}

} // namespace

bool EmulatedModel::CmdModel() const
{
    return productId == Transceiver::kCmdModelProductId;
}

const EmulatedModel* FindEmulatedModel(std::uint16_t productId)
{
    static const EmulatedModel cmdModel = MakeModel(Transceiver::kCmdModelProductId, embedded::kTransceiver1001);
    static const EmulatedModel frameModel = MakeModel(Transceiver::kFrameModelProductId, embedded::kTransceiver1003);
    if (productId == cmdModel.productId) {
        return &cmdModel;
    }
    if (productId == frameModel.productId) {
        return &frameModel;
    }
    return nullptr;
}

} // namespace qz::probe
