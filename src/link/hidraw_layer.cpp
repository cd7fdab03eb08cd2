#include "link/hidraw_layer.h"

namespace qz {

HidrawLayer::HidrawLayer() = default;
HidrawLayer::~HidrawLayer() = default;
void HidrawLayer::SetOpenFailureReporter(OpenFailureReporter reporter)
{
    reporter_ = std::move(reporter);
}
std::string HidrawLayer::DescribeOpenFailure(const OpenFailure& failure)
{
    return failure.path;
}
std::vector<HidLayer::Interface> HidrawLayer::Enumerate()
{
    return {};
}
HidLayer::OpenResult HidrawLayer::Open(const std::string&, OpenMode)
{
    return {};
}
bool HidrawLayer::GetReportLengths(Handle, ReportLengths&)
{
    return false;
}
HidLayer::ReadResult HidrawLayer::ReadReport(Handle, std::span<std::uint8_t>)
{
    return {};
}
void HidrawLayer::Cancel(Handle) { }
bool HidrawLayer::WriteReport(Handle, std::span<const std::uint8_t>)
{
    return false;
}
void HidrawLayer::Close(Handle) { }
void HidrawLayer::ReportOpenFailure(const OpenFailure&) { }

} // namespace qz
