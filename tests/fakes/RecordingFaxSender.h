#pragma once

// A fax channel that sends nothing: it keeps each fax it is handed, with the content of its
// attachment (the file itself is gone once the fax is handed over).

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "notify/FaxSender.h"

class RecordingFaxSender : public FaxSender {
public:
    struct Sent {
        FaxMessage fax;
        std::string attachment;
    };
    std::vector<Sent> sent;
    bool answer = true;

    bool SendFax(const FaxMessage& fax) override {
        Sent s{fax, {}};
        if (!fax.attachmentPath.empty()) {
            std::ifstream in(fax.attachmentPath, std::ios::binary);
            std::stringstream text;
            text << in.rdbuf();
            s.attachment = text.str();
        }
        sent.push_back(std::move(s));
        return answer;
    }
};
