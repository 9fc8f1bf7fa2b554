// The Tango class: the attributes and commands, each handed to the device's own function.
#include "rv360indexer.h"

namespace
{

constexpr long kPollMs = 200;

class Attribute : public Tango::Attr
{
public:
    using Reader = void (RV360Indexer::*)(Tango::Attribute &);
    using Writer = void (RV360Indexer::*)(Tango::WAttribute &);
    Attribute(const char *name, long type, const char *description, Reader reader,
              Writer writer = nullptr, bool oneToEight = false)
        : Tango::Attr(name, type, writer ? Tango::READ_WRITE : Tango::READ), reader_(reader),
          writer_(writer)
    {
        Tango::UserDefaultAttrProp properties;
        properties.set_description(description);
        if (oneToEight) {
            // Tango itself refuses 0 and 9: nothing reaches the port.
            properties.set_min_value("1");
            properties.set_max_value("8");
            properties.set_event_abs_change("1");
        }
        set_default_properties(properties);
    }
    void read(Tango::DeviceImpl *device, Tango::Attribute &attribute) override
    {
        (static_cast<RV360Indexer *>(device)->*reader_)(attribute);
    }
    void write(Tango::DeviceImpl *device, Tango::WAttribute &attribute) override
    {
        if (writer_)
            (static_cast<RV360Indexer *>(device)->*writer_)(attribute);
    }

private:
    Reader reader_;
    Writer writer_;
};

class NamesAttribute : public Tango::SpectrumAttr
{
public:
    NamesAttribute() : Tango::SpectrumAttr("PocketNames", Tango::DEV_STRING, Tango::READ, 8)
    {
        Tango::UserDefaultAttrProp properties;
        properties.set_description("The names of pockets 1 to 8 (empty: none)");
        set_default_properties(properties);
    }
    void read(Tango::DeviceImpl *device, Tango::Attribute &attribute) override
    {
        static_cast<RV360Indexer *>(device)->readPocketNames(attribute);
    }
};

class Command : public Tango::Command
{
public:
    using Run = void (RV360Indexer::*)(const std::string &);
    Command(const char *name, const char *argument, Run run)
        : Tango::Command(name, argument ? Tango::DEV_STRING : Tango::DEV_VOID, Tango::DEV_VOID,
                         argument ? argument : "", ""),
          run_(run)
    {
    }
    CORBA::Any *execute(Tango::DeviceImpl *device, const CORBA::Any &in) override
    {
        std::string text;
        if (get_in_type() == Tango::DEV_STRING) {
            Tango::DevString given = nullptr;
            extract(in, given);
            text = given;
        }
        (static_cast<RV360Indexer *>(device)->*run_)(text);
        return new CORBA::Any();
    }

private:
    Run run_;
};

} // namespace

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
    using D = RV360Indexer;
    attributes.push_back(new Attribute("Pocket", Tango::DEV_SHORT,
                                       "The pocket at the working position (0 unknown); "
                                       "written: a move",
                                       &D::readPocket, &D::writePocket, true));
    attributes.push_back(new Attribute("PocketName", Tango::DEV_STRING,
                                       "The name of the pocket at the working position",
                                       &D::readPocketName));
    attributes.push_back(new NamesAttribute);
    attributes.push_back(new Attribute("Speed", Tango::DEV_SHORT, "The sweep speed, 1 to 8",
                                       &D::readSpeed, &D::writeSpeed, true));
    attributes.push_back(new Attribute("InhibitReason", Tango::DEV_STRING,
                                       "Why moves are inhibited (empty: they are not)",
                                       &D::readInhibitReason));
    attributes.push_back(new Attribute("RemoteAllowed", Tango::DEV_BOOLEAN,
                                       "The operator allows remote control in the window",
                                       &D::readRemoteAllowed));
    attributes.push_back(new Attribute("RemoteHolder", Tango::DEV_STRING,
                                       "The instrument port's client that holds remote control",
                                       &D::readRemoteHolder));
}

void RV360IndexerClass::command_factory()
{
    command_list.push_back(new Command("MoveTo", "A pocket number or name", &RV360Indexer::moveTo));
    command_list.push_back(
        new Command("Inhibit", "Why moves are inhibited", &RV360Indexer::inhibit));
    command_list.push_back(new Command("Release", nullptr, &RV360Indexer::release));
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

void RV360Indexer::pollChanges()
{
    // Without a database Tango leaves the factor at 0, which makes every polled value stale: a
    // client's read would never come from the polling buffer. Set before polling starts, which
    // fixes each value's allowed age.
    if (get_poll_old_factor() <= 0)
        set_poll_old_factor(Tango::DEFAULT_POLL_OLD_FACTOR);
    for (const char *name : {"State", "Status", "Pocket", "PocketName"}) {
        try {
            poll_attribute(name, kPollMs);
        } catch (const Tango::DevFailed &) {
            // Already polled: Init run again, or a Tango database said so.
        }
    }
}
