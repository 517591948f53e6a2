#include "report/outputset.h"

#include "run/failure.h"
#include "report/plot.h"

namespace player {

namespace {

// One output the options name, with its option for messages.
struct Want {
    const std::string* path;
    StagedFile* file;
    const char* option;
};

// Refuses, before any file is made, an output that reaches the input or the
// file of another output however it is named (a relative name, a symbolic
// link, a hard link): the run would destroy one of them.  A special file
// (/dev/null, a FIFO) is written in place and never replaced, so it may be
// named twice; standard output ("-") may not, its two streams would mix.
void RefuseAliases(const Want* wants, size_t count, const std::string& input)
{
    FileIdentity in, ids[8];
    bool haveInput = !input.empty() && IdentifyFile(input, &in) && !in.special;
    bool known[8] = {};
    for (size_t i = 0; i < count; ++i) {
        const std::string& path = *wants[i].path;
        if (path.empty() || path == "-")
            continue;
        // A name that cannot be followed fails when its file is made.
        known[i] = IdentifyFile(path, &ids[i]);
        if (known[i] && haveInput && ids[i] == in)
            throw Failure{kExitUsage, "output '" + path + "' (" + wants[i].option + ") would overwrite the input file" +
                                          (path == input ? std::string() : " '" + input + "'")};
    }
    for (size_t i = 0; i < count; ++i)
        for (size_t j = i + 1; j < count; ++j) {
            const std::string &a = *wants[i].path, &b = *wants[j].path;
            if (a.empty() || b.empty())
                continue;
            bool same = a == "-" || b == "-" ? a == b : known[i] && known[j] && ids[i] == ids[j] && !ids[i].special;
            if (same && a == b)
                throw Failure{kExitUsage, "'" + a + "' is named for two outputs (" + wants[i].option + " and " +
                                              wants[j].option + ")"};
            if (same)
                throw Failure{kExitUsage, "'" + a + "' (" + wants[i].option + ") and '" + b + "' (" +
                                              wants[j].option + ") are the same file; each output needs its own"};
        }
}

}  // namespace

void OutputSet::Create(const Options& o, std::vector<std::string>* warnings, int64_t expectedBytes)
{
    const Want wants[] = {{&o.wavOut, &wavFile_, "--wav"},       {&o.streamOut, &streamFile_, btstandin::CodecOf(o.streamCodec).parts->streamOption},
                          {&o.csvOut, &csvFile_, "--packets"},   {&o.jsonOut, &jsonFile_, "--report"},
                          {&o.plotOut, &plotFile_, "--plot"},    {&o.heardOut, &heardFile_, "--heard"}};
    const size_t kWants = sizeof wants / sizeof wants[0];
    static_assert(kWants <= 8, "RefuseAliases keeps eight identities");
    RefuseAliases(wants, kWants, o.input);
    std::string error;
    for (const Want& w : wants) {
        if (w.path->empty())
            continue;
        if (!w.file->Create(*w.path, &error))
            throw Failure{kExitOutput, error};
        for (const std::string& stale : w.file->Removed())
            warnings->push_back("removed '" + stale + "', left by a run of '" + *w.path + "' that was killed");
    }
    if (wavFile_.IsOpen()) {
        wav_.reset(new WavOutput(&wavFile_));
        if (!wav_->Open(&error, expectedBytes))
            throw Failure{kExitOutput, error};
        received_.Add(wav_.get());
    }
    if (heardFile_.IsOpen()) {
        heardWav_.reset(new WavOutput(&heardFile_));
        if (!heardWav_->Open(&error))
            throw Failure{kExitOutput, error};
    }
    // The stream file of the run's codec is its packets' frames as sent;
    // of another codec, the received audio encoded here.
    if (streamFile_.IsOpen() && o.codec == o.streamCodec) {
        sentHeaders_ = btstandin::kRtpHeaderBytes + btstandin::CodecOf(o.codec).parts->payloadHeaderBytes;
        sentStream_ = true;
    } else if (streamFile_.IsOpen()) {
        encoded_.reset(new EncodedOutput(&streamFile_, o.streamCodec));
        if (!encoded_->Open(&error))
            throw Failure{kExitOutput, error};
        received_.Add(encoded_.get());
    }
    if (csvFile_.IsOpen() && !csvFile_.WriteAll(kPacketLogHeader, &error))
        throw Failure{kExitOutput, error};
}

void OutputSet::SentStream(const btstandin::MediaPacket& p)
{
    if (!sentStream_ || !sentError_.empty() || p.payload.size() <= sentHeaders_)
        return;
    std::string error;
    if (!streamFile_.WriteAll(std::string(p.payload.begin() + sentHeaders_, p.payload.end()), &error))
        sentError_ = error;
}

// A failure of the commit, or the stop signal that caused it.
void OutputSet::Fail(const std::string& error)
{
    if (g_interrupted)
        throw Interrupted();
    throw Failure{kExitOutput, error};
}

void OutputSet::Commit(Report* report)
{
    std::string error;
    if (!sentError_.empty())
        Fail(sentError_);
    if (!received_.Finish(&error))
        Fail(error);
    // The listener's outputs but the sound device, which the listener finished.
    if (heardWav_ && !heardWav_->Finish(&error))
        Fail(error);
    if (plotFile_.IsOpen() && !plotFile_.WriteAll(FormatSvg(*report), &error))
        Fail(error);
    // The outputs go in place before the report is written: first those
    // copied into special files (where a write may still fail, on a full
    // device, or wait for a reader), then the renames, so a failure leaves no
    // output of this run in place (only a rename failing after another
    // succeeded could).  A stop signal up to the renames drops them all.
    StagedFile* files[] = {&wavFile_, &heardFile_, &streamFile_, &csvFile_, &plotFile_};
    for (bool copies : {true, false})
        for (StagedFile* f : files) {
            if (g_interrupted)
                throw Interrupted();
            if (f->IsOpen() && f->CopiesOnCommit() == copies && !f->Commit(&error))
                Fail(error);
        }
    for (StagedFile* f : files)
        if (!f->Path().empty())
            report->outputs.push_back(f->Path());
    for (const WavOutput* w : {wav_.get(), heardWav_.get()})
        if (w && w->IsRf64())
            report->notes.push_back("'" + w->Path() + "' is an RF64 file: its audio is longer than the " +
                                    std::to_string(WavLimitBytes()) +
                                    " bytes a WAV file holds (libsndfile and sox read RF64)");
    // The outputs are in place: a signal from here on is reported, not obeyed.
    if (g_interrupted) {
        Failure f = Interrupted();
        report->exitCode = f.code;
        report->error = f.message + " once the outputs were in place";
    }
    if (!jsonFile_.Path().empty())
        report->outputs.push_back(jsonFile_.Path());
    if (jsonFile_.IsOpen() && !(jsonFile_.WriteAll(FormatJson(*report), &error) && jsonFile_.Commit(&error))) {
        report->outputs.pop_back();
        throw Failure{kExitOutput, error};
    }
}

void OutputSet::Drop(Report* report, const std::string& jsonPath)
{
    wav_.reset();
    heardWav_.reset();
    encoded_.reset();
    StagedFile* dropped[] = {&wavFile_, &heardFile_, &streamFile_, &csvFile_, &plotFile_};
    for (StagedFile* file : dropped)
        file->Abort();
    // Whatever the run staged for the report is dropped: the failed run's
    // report is the one document.
    jsonFile_.Abort();
    std::string error;
    if (report && !jsonPath.empty() && jsonFile_.Create(jsonPath, &error) &&
        jsonFile_.WriteAll(FormatJson(*report), &error) && jsonFile_.Commit(&error))
        report->outputs.push_back(jsonFile_.Path());
    jsonFile_.Abort();
}

}  // namespace player
