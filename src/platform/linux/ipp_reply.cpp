// The scheduler's IPP replies decoded from memory.
#include "platform/linux/ipp_reply.h"

#include <cups/http.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <unordered_map>

namespace kvzn::platform::ipp {

namespace {

struct MemorySource {
    std::string_view bytes;
    size_t offset = 0;
};

ssize_t ReadFromMemory(void* context, ipp_uchar_t* buffer, size_t bytes) {
    auto* source = static_cast<MemorySource*>(context);
    const size_t n = std::min(source->bytes.size() - source->offset, bytes);
    std::memcpy(buffer, source->bytes.data() + source->offset, n);
    source->offset += n;
    return static_cast<ssize_t>(n);
}

std::vector<std::string> Texts(ipp_attribute_t* attr) {
    std::vector<std::string> texts;
    for (int i = 0; i < ippGetCount(attr); ++i) {
        const char* text = ippGetString(attr, i, nullptr);
        if (text && std::strcmp(text, "none") != 0) {
            texts.emplace_back(text);
        }
    }
    return texts;
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

// Calls read(item, name, attr) for every attribute of each `group` group of the reply;
// each group gives one item.
template <class Item, class Read>
std::vector<Item> ReadGroups(ipp_t* reply, ipp_tag_t group, Read read) {
    std::vector<Item> items;
    bool inGroup = false;
    for (ipp_attribute_t* attr = ippFirstAttribute(reply); attr; attr = ippNextAttribute(reply)) {
        const char* name = ippGetName(attr);
        if (ippGetGroupTag(attr) != group || !name) {
            inGroup = false;
            continue;
        }
        if (!inGroup) {
            items.emplace_back();
            inGroup = true;
        }
        read(items.back(), std::string_view(name), attr);
    }
    return items;
}

}  // namespace

IppPtr DecodeMessage(std::string_view bytes, size_t* used) {
    MemorySource source{bytes, 0};
    IppPtr message(ippNew());
    if (ippReadIO(&source, ReadFromMemory, 1, nullptr, message.get()) != IPP_STATE_DATA) {
        return nullptr;
    }
    if (used != nullptr) {
        *used = source.offset;
    }
    return message;
}

std::string Text(ipp_attribute_t* attr) {
    const char* text = ippGetString(attr, 0, nullptr);
    return text ? text : "";
}

std::string QueueNameOf(const std::string& uri) {
    std::array<char, HTTP_MAX_URI> scheme{}, user{}, host{}, resource{};
    int port = 0;
    if (httpSeparateURI(HTTP_URI_CODING_ALL, uri.c_str(), scheme.data(),
                        static_cast<int>(scheme.size()), user.data(), static_cast<int>(user.size()),
                        host.data(), static_cast<int>(host.size()), &port, resource.data(),
                        static_cast<int>(resource.size())) < HTTP_URI_STATUS_OK) {
        return {};
    }
    const std::string_view path(resource.data());
    const size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::vector<PrinterInfo> PrintersOf(ipp_t* reply) {
    auto printers = ReadGroups<PrinterInfo>(
        reply, IPP_TAG_PRINTER,
        [](PrinterInfo& printer, std::string_view name, ipp_attribute_t* attr) {
            if (name == "printer-name") {
                printer.name = Text(attr);
            } else if (name == "printer-state") {
                printer.state = ippGetInteger(attr, 0);
            } else if (name == "printer-state-reasons") {
                printer.reasons = Texts(attr);
            } else if (name == "printer-state-message") {
                printer.stateMessage = Text(attr);
            } else if (name == "printer-is-accepting-jobs") {
                printer.accepting = ippGetBoolean(attr, 0) != 0;
            } else if (name == "device-uri") {
                printer.deviceUri = Text(attr);
            }
        });
    std::erase_if(printers, [](const PrinterInfo& printer) { return printer.name.empty(); });
    for (PrinterInfo& printer : printers) {
        printer.status = PrinterStatusBits(printer.state, printer.reasons);
        printer.attributes = printer.accepting ? 0 : kPrinterAttributeWorkOffline;
    }
    return printers;
}

std::vector<JobInfo> JobsOf(ipp_t* reply) {
    return ReadGroups<JobInfo>(
        reply, IPP_TAG_JOB, [](JobInfo& job, std::string_view name, ipp_attribute_t* attr) {
            if (name == "job-id") {
                job.id = ippGetInteger(attr, 0);
            } else if (name == "job-printer-uri") {
                job.printer = QueueNameOf(Text(attr));
            } else if (name == "job-name") {
                job.document = Text(attr);
            } else if (name == "job-originating-user-name") {
                job.user = Text(attr);
            } else if (name == "job-state") {
                job.state = ippGetInteger(attr, 0);
            } else if (name == "job-state-reasons") {
                job.reasons = Texts(attr);
            } else if (name == "job-k-octets") {
                job.size = static_cast<uint64_t>(std::max(ippGetInteger(attr, 0), 0)) * 1024;
            } else if (name == "job-impressions") {
                job.pages = std::max(ippGetInteger(attr, 0), 0);
            } else if (name == "job-impressions-completed") {
                job.pagesPrinted = std::max(ippGetInteger(attr, 0), 0);
            } else if (name == "job-media-sheets-completed") {
                job.sheetsPrinted = std::max(ippGetInteger(attr, 0), 0);
            } else if (name == "job-priority") {
                job.priority = ippGetInteger(attr, 0);
            }
        });
}

std::vector<std::string> DeviceUrisOf(ipp_t* reply) {
    std::vector<std::string> devices;
    for (ipp_attribute_t* attr = ippFirstAttribute(reply); attr; attr = ippNextAttribute(reply)) {
        const char* name = ippGetName(attr);
        if (name && std::strcmp(name, "device-uri") == 0) {
            devices.push_back(Text(attr));
        }
    }
    return devices;
}

SpoolerSnapshot SnapshotOf(std::vector<PrinterInfo> printers, std::vector<JobInfo> jobs) {
    SpoolerSnapshot snapshot;
    std::unordered_map<std::string, size_t> index;
    for (PrinterInfo& printer : printers) {
        index.emplace(Lower(printer.name), snapshot.printers.size());
        snapshot.printers.push_back({std::move(printer), {}});
    }
    // Jobs come in queue order; a job of a queue deleted between the two requests is
    // left out.
    for (JobInfo& job : jobs) {
        auto it = index.find(Lower(job.printer));
        if (job.id <= 0 || it == index.end()) {
            continue;
        }
        PrinterQueue& queue = snapshot.printers[it->second];
        job.printer = queue.printer.name;
        job.status = JobStatusBits(job.state, job.reasons, queue.printer.status);
        job.position = static_cast<int>(queue.jobs.size()) + 1;
        queue.jobs.push_back(std::move(job));
    }
    for (PrinterQueue& queue : snapshot.printers) {
        queue.printer.jobCount = static_cast<int>(queue.jobs.size());
    }
    return snapshot;
}

}  // namespace kvzn::platform::ipp
