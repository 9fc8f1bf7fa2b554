// rv360-tango: the indexer as a Tango device, a client of the running rv360's instrument port.
#include "rv360indexer.h"

#include <cstring>
#include <iostream>
#include <vector>

void Tango::DServer::class_factory()
{
    add_class(RV360IndexerClass::init("RV360Indexer"));
}

int main(int argc, char *argv[])
{
    // --instrument HOST:PORT is ours; everything else is Tango's.
    std::vector<char *> tangoArgs;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::cout << "Usage: rv360-tango [--instrument HOST:PORT] INSTANCE [Tango options]\n"
                         "The RV-360 crucible indexer as a Tango device (class RV360Indexer), a\n"
                         "client of the running rv360's instrument port.\n\n"
                         "  --instrument HOST:PORT  the instrument port of a device without an\n"
                         "                          Instrument property (default 127.0.0.1:5025)\n"
                         "  --help                  this text\n\n"
                         "Without a Tango database: INSTANCE -nodb -dlist rv360/indexer/1\n"
                         "  -ORBendPoint giop:tcp:127.0.0.1:10000\n";
            return 0;
        }
        if (std::strcmp(argv[i], "--instrument") == 0) {
            const auto address =
                i + 1 < argc ? ScpiClient::parseAddress(argv[i + 1]) : std::nullopt;
            if (!address) {
                std::cerr << "rv360-tango: --instrument needs HOST:PORT\n";
                return 2;
            }
            RV360Indexer::setDefaultInstrument(*address);
            ++i;
            continue;
        }
        tangoArgs.push_back(argv[i]);
    }
    tangoArgs.push_back(nullptr);
    try {
        Tango::Util *tango =
            Tango::Util::init(static_cast<int>(tangoArgs.size() - 1), tangoArgs.data());
        tango->server_init(false);
        std::cout << "rv360-tango: ready" << std::endl;
        tango->server_run();
    } catch (const CORBA::Exception &e) {
        Tango::Except::print_exception(e);
        return 1;
    }
    Tango::Util::instance()->server_cleanup();
    return 0;
}
