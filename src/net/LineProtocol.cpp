#include "net/LineProtocol.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

void CDotStream::Start(int fd, Options options) {
    fd_ = fd;
    options_ = options;
    at_ = At::LineStart;
    lineCount_ = 0;
    bytesIn_ = 0;
    writeError_ = 0;
}

bool CDotStream::Write(const std::string& out) {
    const char* data = out.data();
    size_t size = out.size();
    while (size > 0) {
        ssize_t n = ::write(fd_, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            writeError_ = n < 0 ? errno : ENOSPC;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

CDotStream::Result CDotStream::Feed(const char* data, size_t size, size_t* used) {
    const bool undo = options_.undoStuffing;
    std::string out;
    out.reserve(size + 2);
    size_t i = 0;
    bool ended = false;
    while (i < size && !ended) {
        char c = data[i];
        switch (at_) {
            case At::LineStart:
                if (c == '.') {
                    if (!undo) out += '.';
                    at_ = At::Dot;
                    ++i;
                } else {
                    at_ = At::InLine;
                }
                break;
            case At::Dot:
                if (c == '\r' || c == '\n') {
                    if (!undo) out += c;
                    ++i;
                    if (c == '\n') {
                        ended = true;
                        if (!undo) ++lineCount_;
                    } else {
                        at_ = At::DotCr;
                    }
                } else {
                    // A line the peer began with a doubled dot: one of them was its own.
                    at_ = At::InLine;
                }
                break;
            case At::DotCr:
                if (c == '\n') {
                    if (!undo) {
                        out += c;
                        ++lineCount_;
                    }
                    ++i;
                    ended = true;
                } else {
                    // The carriage return was the line's text, not the end line's.
                    if (undo) out += '\r';
                    at_ = At::InLine;
                }
                break;
            case At::InLine: {
                const void* nl = std::memchr(data + i, '\n', size - i);
                size_t stop =
                    nl ? static_cast<size_t>(static_cast<const char*>(nl) - data) + 1 : size;
                out.append(data + i, stop - i);
                if (nl) {
                    ++lineCount_;
                    at_ = At::LineStart;
                }
                i = stop;
                break;
            }
        }
    }
    *used = i;
    bytesIn_ += i;
    if (!ended && bytesIn_ > options_.maxBytes) return Result::TooLarge;
    if (!out.empty() && !Write(out)) return Result::WriteFailed;
    if (ended) {
        at_ = At::LineStart;
        return Result::End;
    }
    return Result::More;
}

// ---------------------------------------------------------------------------------------

CLineClient::CLineClient(const ClientTraits& traits, const LineTraits& lineTraits)
    : CConnection(traits), lineTraits_(lineTraits) {}

bool CLineClient::SendCommand(const std::string& command, int nextState) {
    if (command.size() > kMaxCommandLine) {
        // Cut short it would lose its line end, and the server would wait for the rest.
        commandBuffer_.clear();
        Fail(lineTraits_.sendFailedCode);
        return false;
    }
    commandBuffer_ = command;
    SetState(nextState);
    StartTimer(replyTimeout());
    int n = Send(commandBuffer_.data(), static_cast<int>(commandBuffer_.size()));
    if (n != static_cast<int>(commandBuffer_.size())) {
        Fail(SendFailure(n, lineTraits_.sendFailedCode));
        return false;
    }
    return true;
}

void CLineClient::StartData(int fd, CDotStream::Options options, int doneState) {
    dot_.Start(fd, options);
    inData_ = true;
    dataDoneState_ = doneState;
}

void CLineClient::ClearReplies() {
    pending_.clear();
    inData_ = false;
}

size_t CLineClient::ReplyLength(std::string_view pending) const {
    size_t end = pending.find('\n');
    return end == std::string_view::npos ? 0 : end + 1;
}

bool CLineClient::HasCompleteReply() const {
    return ReplyLength(pending_) != 0;
}

void CLineClient::OnReplyTooLong(const std::string& head) {
    SetReplyText(head);
    Fail(lineTraits_.tooLongCode);
}

void CLineClient::DeliverReplies() {
    // The client may send, fail or start a data block from OnReply, and may come back here
    // from it: every turn looks at the state afresh.
    for (;;) {
        if (state() == kStateIdle) return;
        if (inData_) {
            if (pending_.empty()) return;
            std::string block;
            block.swap(pending_);
            TakeData(block.data(), block.size());
            return;
        }
        bool sending = SendsData();
        if (!sending && !AwaitsReply()) return;
        size_t end = ReplyLength(pending_);
        if (end == 0) {
            if (!sending) StartTimer(replyTimeout());
            return;
        }
        std::string reply = pending_.substr(0, end);
        pending_.erase(0, end);
        OnReply(reply);
    }
}

void CLineClient::TakeData(const char* data, size_t size) {
    size_t used = 0;
    switch (dot_.Feed(data, size, &used)) {
        case CDotStream::Result::More:
            StartTimer(replyTimeout());
            return;
        case CDotStream::Result::WriteFailed:
            inData_ = false;
            Fail(static_cast<uint32_t>(dot_.writeError()));
            return;
        case CDotStream::Result::TooLarge:
            inData_ = false;
            Fail(lineTraits_.tooLargeCode);
            return;
        case CDotStream::Result::End:
            break;
    }
    inData_ = false;
    StopTimer();
    SetState(dataDoneState_);
    PostResult(0);
    // Whatever came behind the end line is a reply only if the client now waits for one.
    if (used < size && AwaitsReply()) {
        pending_.assign(data + used, size - used);
        DeliverReplies();
    }
}

void CLineClient::OnReceive(int error) {
    // While the client streams data out the timer watches the sending: a byte from the
    // server must not stop it, or a server that answers and stops reading holds it forever.
    bool sending = SendsData();
    if (!sending) StopTimer();
    if (error != 0) {
        Fail(static_cast<uint32_t>(error));
        return;
    }
    char buffer[1024];
    size_t want = lineTraits_.readSize < sizeof buffer ? lineTraits_.readSize : sizeof buffer;
    int n = Receive(buffer, static_cast<int>(want));
    if (n <= 0) {
        if (n < 0 && LastError() != WSAEWOULDBLOCK) {
            Fail(static_cast<uint32_t>(LastError()));
            return;
        }
        if (!sending && opMessage() != 0) StartTimer(replyTimeout());  // nothing came after all
        return;
    }
    TakeReceived(buffer, static_cast<size_t>(n));
}

void CLineClient::TakeReceived(const char* data, size_t size) {
    if (inData_) {
        TakeData(data, size);
        return;
    }
    if (!AwaitsReply() && !SendsData()) return;  // nobody asked: dropped
    if (pending_.size() + size > lineTraits_.maxReply) {
        // No reply is that long: whatever this is, it ends here and is not kept.
        pending_.append(data, size);
        std::string head = pending_.substr(0, 1024);
        pending_.clear();
        OnReplyTooLong(head);
        return;
    }
    pending_.append(data, size);
    DeliverReplies();
}

void CLineClient::OnClose(int error) {
    // The server hung up: whatever was awaited ends now, not at the time-out.
    if (state() == kStateIdle) return;
    inData_ = false;
    Fail(error ? static_cast<uint32_t>(error) : traits().noResponseCode);
}
