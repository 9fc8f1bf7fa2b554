#pragma once

#include "scpiclient.h"

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
    // A pocket number or name.
    void moveTo(const std::string &pocket);

    // Where the instrument port is when no device property says it (the command line's).
    static void setDefaultInstrument(const ScpiClient::Address &address);

private:
    std::string ask(const std::string &query);
    void change(const std::string &line);

    // Tango serialises a device's calls by default; the mutex keeps the one connection's
    // question and answer together whatever the serialisation model.
    std::mutex mutex_;
    std::unique_ptr<ScpiClient> client_;
    Tango::DevShort pocket_ = 0;
    std::string pocketNameText_;
    Tango::DevString pocketName_ = nullptr;
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
