// The scheduler's replies decoded from bytes: printers, jobs under their queues, and
// messages that are cut short.
#include "platform/linux/ipp_reply.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace kvzn::platform::ipp {
namespace {

ssize_t AppendToString(void* context, ipp_uchar_t* buffer, size_t bytes) {
    static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(buffer), bytes);
    return static_cast<ssize_t>(bytes);
}

// The wire form of a reply whose groups `fill` adds.
template <class Fill>
std::string Encode(Fill fill) {
    IppPtr reply(ippNew());
    ippSetVersion(reply.get(), 2, 0);
    ippSetStatusCode(reply.get(), IPP_STATUS_OK);
    ippSetRequestId(reply.get(), 1);
    ippAddString(reply.get(), IPP_TAG_OPERATION, IPP_TAG_CHARSET, "attributes-charset", nullptr,
                 "utf-8");
    fill(reply.get());
    std::string bytes;
    ippWriteIO(&bytes, AppendToString, 1, nullptr, reply.get());
    return bytes;
}

void AddPrinter(ipp_t* reply, const char* name, int state, const char* reason, bool accepting) {
    ippAddSeparator(reply);
    if (name != nullptr) {
        ippAddString(reply, IPP_TAG_PRINTER, IPP_TAG_NAME, "printer-name", nullptr, name);
    }
    ippAddInteger(reply, IPP_TAG_PRINTER, IPP_TAG_ENUM, "printer-state", state);
    ippAddString(reply, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "printer-state-reasons", nullptr, reason);
    ippAddBoolean(reply, IPP_TAG_PRINTER, "printer-is-accepting-jobs", accepting ? 1 : 0);
}

void AddJob(ipp_t* reply, int id, const char* printerUri, int state, int kOctets) {
    ippAddSeparator(reply);
    ippAddInteger(reply, IPP_TAG_JOB, IPP_TAG_INTEGER, "job-id", id);
    ippAddString(reply, IPP_TAG_JOB, IPP_TAG_URI, "job-printer-uri", nullptr, printerUri);
    ippAddInteger(reply, IPP_TAG_JOB, IPP_TAG_ENUM, "job-state", state);
    ippAddInteger(reply, IPP_TAG_JOB, IPP_TAG_INTEGER, "job-k-octets", kOctets);
}

std::string PrintersReply() {
    return Encode([](ipp_t* reply) {
        AddPrinter(reply, "Office", kIppPrinterIdle, "none", true);
        AddPrinter(reply, nullptr, kIppPrinterIdle, "none", true);  // no name: not a printer
        AddPrinter(reply, "Jammed", kIppPrinterStopped, "media-jam-error", false);
    });
}

TEST(IppReplyTest, PrintersAndJobsMakeOneSnapshot) {
    const std::string printerBytes = PrintersReply();
    const std::string jobBytes = Encode([](ipp_t* reply) {
        AddJob(reply, 7, "ipp://localhost/printers/jammed", kIppJobHeld, 3);
        AddJob(reply, 8, "ipp://localhost/printers/Gone", kIppJobPending, 1);
        AddJob(reply, 0, "ipp://localhost/printers/Office", kIppJobPending, 1);
        AddJob(reply, 9, "ipp://localhost/printers/Jammed", kIppJobPending, 1);
    });
    IppPtr printers = DecodeMessage(printerBytes);
    IppPtr jobs = DecodeMessage(jobBytes);
    ASSERT_TRUE(printers && jobs);

    const SpoolerSnapshot snapshot = SnapshotOf(PrintersOf(printers.get()), JobsOf(jobs.get()));
    ASSERT_EQ(snapshot.printers.size(), 2u);
    const PrinterQueue& office = snapshot.printers[0];
    EXPECT_EQ(office.printer.name, "Office");
    EXPECT_TRUE(office.printer.reasons.empty());
    EXPECT_EQ(office.printer.jobCount, 0);
    const PrinterQueue& jammed = snapshot.printers[1];
    EXPECT_EQ(jammed.printer.status, kPrinterError | kPrinterPaperJam);
    EXPECT_EQ(jammed.printer.attributes, kPrinterAttributeWorkOffline);
    // The job of a queue that is gone and the one without an id are left out.
    ASSERT_EQ(jammed.jobs.size(), 2u);
    EXPECT_EQ(jammed.printer.jobCount, 2);
    EXPECT_EQ(jammed.jobs[0].id, 7);
    EXPECT_EQ(jammed.jobs[0].printer, "Jammed");
    EXPECT_EQ(jammed.jobs[0].status, kJobPaused);
    EXPECT_EQ(jammed.jobs[0].size, 3u * 1024);
    EXPECT_EQ(jammed.jobs[0].position, 1);
    EXPECT_EQ(jammed.jobs[1].position, 2);
}

TEST(IppReplyTest, OnlyACompleteMessageDecodes) {
    const std::string bytes = PrintersReply();
    size_t used = 0;
    ASSERT_TRUE(DecodeMessage(bytes + bytes, &used));
    EXPECT_EQ(used, bytes.size());
    for (size_t cut : {size_t{0}, size_t{7}, bytes.size() / 2, bytes.size() - 1}) {
        SCOPED_TRACE(cut);
        EXPECT_FALSE(DecodeMessage(std::string_view(bytes).substr(0, cut)));
    }
}

}  // namespace
}  // namespace kvzn::platform::ipp
