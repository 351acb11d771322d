// Demonstration: an unattended upgrade of two simulated boards by the real
// qvfw-tool binary, in a private fake system (its own sysfs, log directory,
// module and DKMS trees), with a stand-in SCPU answering the mailbox.
#include <cstdio>
#include <string>

#include <unistd.h>

#include "engine_fixtures.h"
#include "fakesys.h"
#include "scpu_responder.h"

using namespace engine_fixtures;
using fakesys::FakeSystem;

namespace {

void show(const std::string& command, const fakesys::RunResult& r)
{
    printf("$ %s\n%s%s(exit status %d)\n\n", command.c_str(), r.out.c_str(), r.err.c_str(), r.status);
}

} // namespace

int main()
{
    if (geteuid() != 0) {
        fprintf(stderr, "The demo needs root (it makes a private mount namespace).\n");
        return 1;
    }
    FakeSystem fs;
    if (!fs.ok())
        return 1;

    const char* const bdfs[] = {"0000:03:00.0", "0000:04:00.0"};
    ScpuResponder scpu;
    for (const char* bdf : bdfs) {
        fs.AddPci(jq_board(bdf, 4, 0, version_word(1, 0, 0)));  // JQ-R21A-8, firmware 1.0.0
        scpu.Add({FakeSystem::PciPath(bdf) + "/resource2"});
    }
    Image fw = headered(4, 0, version_word(1, 1, 0), pattern(4096));
    fs.WriteWorkFile("JQ-R21A-8-00_V1.1.0.hex", fw.text);
    printf("Two simulated JQ-R21A-8 boards at %s and %s, firmware file JQ-R21A-8-00_V1.1.0.hex (v1.1.0).\n\n",
           bdfs[0], bdfs[1]);

    show("qvfw-tool --list", fs.Run({"--list"}));

    if (!scpu.Start()) {
        fprintf(stderr, "%s\n", scpu.Error().c_str());
        return 1;
    }
    fakesys::RunResult upgrade = fs.Run({"--silent"});
    scpu.Stop();
    show("qvfw-tool --silent", upgrade);

    bool written = true;
    for (const char* bdf : bdfs) {
        bool landed = fs.ReadMem(bdf, 0x800, fw.image.size()) == to_string(fw.image);
        printf("%s: image of %zu bytes in the memory window at 0x800: %s; mailbox commands: %zu\n", bdf,
               fw.image.size(), landed ? "yes" : "no", scpu.Commands(FakeSystem::PciPath(bdf) + "/resource2").size());
        written = written && landed;
    }

    printf("\n== /var/log/qvFwTool/qvfw-tool.log\n%s", log_text().c_str());
    return upgrade.status == 0 && written ? 0 : 1;
}
