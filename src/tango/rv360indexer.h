#pragma once

#include "scpiclient.h"

#include <array>
#include <mutex>
#include <string>
#include <tango.h>

// The indexer as a Tango device: every read and write is a line on the window's instrument port,
// so that the window stays the one owner of the line and every move passes its supervisor.
class RV360Indexer : public TANGO_BASE_CLASS
{
public:
    RV360Indexer(Tango::DeviceClass *deviceClass, std::string &name);
    ~RV360Indexer() override;

    void init_device() override;
    void delete_device() override;
    Tango::DevState dev_state() override;
    // Status read alone asks the port too, so that it never tells an old state.
    Tango::ConstDevString dev_status() override;

    void readPocket(Tango::Attribute &attribute);
    void writePocket(Tango::WAttribute &attribute);
    void readPocketName(Tango::Attribute &attribute);
    void readPocketNames(Tango::Attribute &attribute);
    void readSpeed(Tango::Attribute &attribute);
    void writeSpeed(Tango::WAttribute &attribute);
    void readInhibitReason(Tango::Attribute &attribute);
    void readRemoteAllowed(Tango::Attribute &attribute);
    void readRemoteHolder(Tango::Attribute &attribute);
    // A pocket number or name.
    void moveTo(const std::string &pocket);
    void inhibit(const std::string &reason);
    void release(const std::string &);

    // Where the instrument port is when no device property says it (the command line's).
    static void setDefaultInstrument(const ScpiClient::Address &address);

private:
    ScpiClient &client();
    std::string ask(const std::string &query);
    // A change under remote control, taken for it; a move keeps control until it has ended.
    void change(const std::string &line, bool move);
    // Gives remote control back, unless a move of ours still needs it.
    void giveBack();
    // Asks the port's state and words; gives back control once our move has ended.
    void look();
    // A Pocket or Speed write: the header and the value written.
    void writeNumber(Tango::WAttribute &attribute, const char *header, bool move);
    // Polls State, Status, Pocket and PocketName, so that their change events run.
    void pollChanges();
    // A string attribute's value, kept (with the pointer Tango reads) until Tango has sent it.
    struct Text {
        std::string text;
        Tango::DevString out = nullptr;
    };
    static void setText(Tango::Attribute &attribute, Text &kept, std::string text);

    // Tango serialises a device's calls by default; the mutex keeps the one connection's
    // question and answer together whatever the serialisation model.
    std::mutex mutex_;
    std::unique_ptr<ScpiClient> client_;
    // Why there is no client: the Instrument property is not HOST:PORT.
    std::string badProperty_;
    // Remote control kept for our move (after a reconnection the port has given it back
    // already, and the SYST:LOC once the move has ended does no harm).
    bool leaseForMove_ = false;
    Tango::DevShort pocket_ = 0, speed_ = 0;
    Tango::DevBoolean remoteAllowed_ = false;
    Text pocketName_, inhibitReason_, remoteHolder_;
    std::array<std::string, 8> names_;
    std::array<Tango::DevString, 8> namesOut_{};
};

class RV360IndexerClass : public Tango::DeviceClass
{
public:
    static RV360IndexerClass *init(const char *name);

protected:
    explicit RV360IndexerClass(std::string &name);
    void attribute_factory(std::vector<Tango::Attr *> &attributes) override;
    void command_factory() override;
    void device_factory(const Tango::DevVarStringArray *names) override;
};
