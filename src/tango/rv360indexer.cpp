#include "rv360indexer.h"

namespace
{
ScpiClient::Address defaultInstrument{"127.0.0.1", 5025};

class PocketAttr : public Tango::Attr
{
public:
    PocketAttr() : Tango::Attr("Pocket", Tango::DEV_SHORT, Tango::READ_WRITE)
    {
        // Tango itself refuses 0 and 9: nothing reaches the port.
        Tango::UserDefaultAttrProp properties;
        properties.set_min_value("1");
        properties.set_max_value("8");
        properties.set_description("The pocket at the working position (0 unknown); "
                                   "written: a move");
        set_default_properties(properties);
    }
    void read(Tango::DeviceImpl *device, Tango::Attribute &attribute) override
    {
        static_cast<RV360Indexer *>(device)->readPocket(attribute);
    }
    void write(Tango::DeviceImpl *device, Tango::WAttribute &attribute) override
    {
        static_cast<RV360Indexer *>(device)->writePocket(attribute);
    }
};

class PocketNameAttr : public Tango::Attr
{
public:
    PocketNameAttr() : Tango::Attr("PocketName", Tango::DEV_STRING, Tango::READ) {}
    void read(Tango::DeviceImpl *device, Tango::Attribute &attribute) override
    {
        static_cast<RV360Indexer *>(device)->readPocketName(attribute);
    }
};

class MoveToCmd : public Tango::Command
{
public:
    MoveToCmd()
        : Tango::Command("MoveTo", Tango::DEV_STRING, Tango::DEV_VOID, "A pocket number or name",
                         "")
    {
    }
    CORBA::Any *execute(Tango::DeviceImpl *device, const CORBA::Any &in) override
    {
        Tango::DevString pocket = nullptr;
        extract(in, pocket);
        static_cast<RV360Indexer *>(device)->moveTo(pocket);
        return new CORBA::Any();
    }
};

Tango::DevState stateFor(const std::string &answer)
{
    if (answer == "READY")
        return Tango::ON;
    if (answer == "MOVING")
        return Tango::MOVING;
    if (answer == "ALARM")
        return Tango::ALARM;
    if (answer == "INHIBITED")
        return Tango::DISABLE;
    return Tango::FAULT; // UNKNOWN: the indexer does not answer
}

[[noreturn]] void raise(const std::string &reason, const std::string &words, const char *where)
{
    Tango::Except::throw_exception(reason, words, where);
}
} // namespace

void RV360Indexer::setDefaultInstrument(const ScpiClient::Address &address)
{
    defaultInstrument = address;
}

RV360Indexer::RV360Indexer(Tango::DeviceClass *deviceClass, std::string &name)
    : TANGO_BASE_CLASS(deviceClass, name)
{
    init_device();
}

RV360Indexer::~RV360Indexer()
{
    delete_device();
}

void RV360Indexer::init_device()
{
    const std::lock_guard lock(mutex_);
    client_ = std::make_unique<ScpiClient>(defaultInstrument);
    set_state(Tango::UNKNOWN);
    set_status("Not connected to rv360 yet");
}

void RV360Indexer::delete_device()
{
    const std::lock_guard lock(mutex_);
    client_.reset();
}

std::string RV360Indexer::ask(const std::string &query)
{
    auto answer = client_->query(query);
    if (!answer)
        raise("RV360_NotReachable", client_->lastError(), "RV360Indexer::ask");
    return *answer;
}

// A change, then the port's verdict: anything but 0 comes back as the program's own words.
void RV360Indexer::change(const std::string &line)
{
    if (!client_->send(line))
        raise("RV360_NotReachable", client_->lastError(), "RV360Indexer::change");
    const std::string answer = ask("SYST:ERR?");
    const auto error = ScpiClient::parseError(answer);
    if (!error)
        raise("RV360_BadAnswer", "rv360 answered SYST:ERR? with " + answer, "RV360Indexer::change");
    if (error->code != 0)
        raise("RV360_Refused", error->text, "RV360Indexer::change");
}

Tango::DevState RV360Indexer::dev_state()
{
    const std::lock_guard lock(mutex_);
    const auto answer = client_->query("STAT?");
    if (!answer) {
        set_state(Tango::UNKNOWN);
        set_status(client_->lastError());
    } else {
        set_state(stateFor(*answer));
        set_status("rv360: " + *answer);
    }
    return get_state();
}

Tango::ConstDevString RV360Indexer::dev_status()
{
    dev_state();
    return TANGO_BASE_CLASS::dev_status();
}

void RV360Indexer::readPocket(Tango::Attribute &attribute)
{
    const std::lock_guard lock(mutex_);
    const std::string answer = ask("POCK?");
    try {
        pocket_ = static_cast<Tango::DevShort>(std::stoi(answer));
    } catch (const std::exception &) {
        raise("RV360_BadAnswer", "rv360 answered POCK? with " + answer, "RV360Indexer::readPocket");
    }
    attribute.set_value(&pocket_);
}

void RV360Indexer::writePocket(Tango::WAttribute &attribute)
{
    Tango::DevShort pocket = 0;
    attribute.get_write_value(pocket);
    const std::lock_guard lock(mutex_);
    change("SYST:REM");
    change("POCK " + std::to_string(pocket));
}

void RV360Indexer::readPocketName(Tango::Attribute &attribute)
{
    const std::lock_guard lock(mutex_);
    pocketNameText_ = ScpiClient::unquote(ask("POCK:NAME?"));
    pocketName_ = pocketNameText_.data();
    attribute.set_value(&pocketName_);
}

void RV360Indexer::moveTo(const std::string &pocket)
{
    const bool number =
        !pocket.empty() && pocket.find_first_not_of("0123456789") == std::string::npos;
    const std::lock_guard lock(mutex_);
    change("SYST:REM");
    change("POCK " + (number ? pocket : ScpiClient::quote(pocket)));
}

RV360IndexerClass::RV360IndexerClass(std::string &name) : Tango::DeviceClass(name) {}

RV360IndexerClass *RV360IndexerClass::init(const char *name)
{
    // Tango keeps the class for the process's life.
    static RV360IndexerClass *instance = nullptr;
    if (!instance) {
        std::string className(name);
        instance = new RV360IndexerClass(className);
    }
    return instance;
}

void RV360IndexerClass::attribute_factory(std::vector<Tango::Attr *> &attributes)
{
    attributes.push_back(new PocketAttr);
    attributes.push_back(new PocketNameAttr);
}

void RV360IndexerClass::command_factory()
{
    command_list.push_back(new MoveToCmd);
}

void RV360IndexerClass::device_factory(const Tango::DevVarStringArray *names)
{
    for (CORBA::ULong i = 0; i < names->length(); ++i) {
        std::string name((*names)[i].in());
        auto *device = new RV360Indexer(this, name);
        device_list.push_back(device);
        if (Tango::Util::_UseDb && !Tango::Util::_FileDb)
            export_device(device);
        else
            export_device(device, device->get_name().c_str());
    }
}
