#include "rv360indexer.h"

#include <algorithm>

namespace
{

ScpiClient::Address defaultInstrument{"127.0.0.1", 5025};

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

[[noreturn]] void badAnswer(const std::string &query, const std::string &answer)
{
    raise("RV360_BadAnswer", "rv360 answered " + query + " with " + answer, "RV360Indexer");
}

Tango::DevShort number(const std::string &query, const std::string &answer)
{
    if (answer.empty() || answer.size() > 2 ||
        answer.find_first_not_of("0123456789") != std::string::npos)
        badAnswer(query, answer);
    return static_cast<Tango::DevShort>(std::stoi(answer));
}

// A name or reason goes in one line of the port's: a line break in it would end that line and
// make the rest a command of its own.
void checkText(const std::string &text, const char *what)
{
    constexpr std::size_t kMost = 200;
    const bool control = std::any_of(text.begin(), text.end(),
                                     [](unsigned char c) { return c < 0x20 || c == 0x7f; });
    if (control || text.size() > kMost)
        raise("RV360_BadValue",
              std::string(what) + " of at most 200 characters, without control characters",
              "RV360Indexer");
}

// SYST:REM? answers `1,"192.168.10.7"`: allowed, and who holds control.
std::pair<bool, std::string> remote(const std::string &answer)
{
    if (answer.size() < 4 || (answer[0] != '0' && answer[0] != '1') || answer[1] != ',')
        badAnswer("SYST:REM?", answer);
    return {answer[0] == '1', ScpiClient::unquote(answer.substr(2))};
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
    auto address = std::optional(defaultInstrument);
    badProperty_.clear();
    if (Tango::Util::_UseDb) {
        Tango::DbData data{Tango::DbDatum("Instrument")};
        get_db_device()->get_property(data);
        std::string text;
        if (!data[0].is_empty() && (data[0] >> text)) {
            address = ScpiClient::parseAddress(text);
            if (!address)
                badProperty_ = "The device property Instrument is \"" + text +
                               "\", not HOST:PORT (127.0.0.1:5025)";
        }
    }
    client_ = address ? std::make_unique<ScpiClient>(*address) : nullptr;
    leaseForMove_ = false;
    set_state(Tango::UNKNOWN);
    set_status(badProperty_.empty() ? "Not connected to rv360 yet" : badProperty_);
    pollChanges();
}

void RV360Indexer::delete_device()
{
    const std::lock_guard lock(mutex_);
    client_.reset();
}

ScpiClient &RV360Indexer::client()
{
    if (!client_)
        raise("RV360_Property", badProperty_, "RV360Indexer");
    return *client_;
}

std::string RV360Indexer::ask(const std::string &query)
{
    auto answer = client().query(query);
    if (!answer)
        raise("RV360_NotReachable", client_->lastError(), "RV360Indexer::ask");
    return *answer;
}

// Everything in one go, each line served in turn: the error queue emptied of what earlier
// moves left in it, control taken, the change, and the port's verdict on the first that failed.
// A refused change is never written; the port's own words come back as the description.
void RV360Indexer::change(const std::string &line, bool move)
{
    const std::string answer = ask("*CLS\nSYST:REM\n" + line + "\nSYST:ERR?");
    const auto error = ScpiClient::parseError(answer);
    if (!error)
        badAnswer("SYST:ERR?", answer);
    if (error->code != 0) {
        giveBack();
        raise("RV360_Refused", error->text, "RV360Indexer");
    }
    if (move)
        leaseForMove_ = true;
    else
        giveBack();
}

void RV360Indexer::giveBack()
{
    if (!leaseForMove_)
        client_->send("SYST:LOC");
}

void RV360Indexer::look()
{
    if (!client_) {
        set_state(Tango::UNKNOWN);
        set_status(badProperty_);
        return;
    }
    const auto state = client_->query("STAT?");
    const auto words = state ? client_->query("STAT:TEXT?") : std::nullopt;
    const auto lines = words ? ScpiClient::unquoteList(*words) : std::nullopt;
    if (!lines) {
        set_state(Tango::UNKNOWN);
        set_status(words ? "rv360 answered STAT:TEXT? with " + *words : client_->lastError());
        return;
    }
    set_state(stateFor(*state));
    std::string status;
    for (const std::string &text : *lines)
        status += (status.empty() ? "" : "\n") + text;
    set_status(status.empty() ? "Ready" : status);
    if (leaseForMove_ && client_->query("MOV?") == std::optional<std::string>("0")) {
        leaseForMove_ = false;
        giveBack();
    }
}

Tango::DevState RV360Indexer::dev_state()
{
    const std::lock_guard lock(mutex_);
    look();
    return get_state();
}

Tango::ConstDevString RV360Indexer::dev_status()
{
    dev_state();
    // Not the base class's: it would add attribute alarms this device has none of.
    return get_status().c_str();
}

void RV360Indexer::setText(Tango::Attribute &attribute, Text &kept, std::string text)
{
    kept.text = std::move(text);
    kept.out = kept.text.data();
    attribute.set_value(&kept.out);
}

void RV360Indexer::readPocket(Tango::Attribute &attribute)
{
    const std::lock_guard lock(mutex_);
    pocket_ = number("POCK?", ask("POCK?"));
    attribute.set_value(&pocket_);
}

void RV360Indexer::writePocket(Tango::WAttribute &attribute)
{
    writeNumber(attribute, "POCK ", true);
}

void RV360Indexer::writeNumber(Tango::WAttribute &attribute, const char *header, bool move)
{
    Tango::DevShort value = 0;
    attribute.get_write_value(value);
    const std::lock_guard lock(mutex_);
    change(header + std::to_string(value), move);
}

void RV360Indexer::readPocketName(Tango::Attribute &attribute)
{
    const std::lock_guard lock(mutex_);
    setText(attribute, pocketName_, ScpiClient::unquote(ask("POCK:NAME?")));
}

void RV360Indexer::readPocketNames(Tango::Attribute &attribute)
{
    const std::lock_guard lock(mutex_);
    const std::string answer = ask("POCK:NAME:ALL?");
    const auto names = ScpiClient::unquoteList(answer);
    if (!names || names->size() != names_.size())
        badAnswer("POCK:NAME:ALL?", answer);
    for (std::size_t i = 0; i < names_.size(); ++i) {
        names_[i] = (*names)[i];
        namesOut_[i] = names_[i].data();
    }
    attribute.set_value(namesOut_.data(), static_cast<long>(namesOut_.size()));
}

// SPE? asks the indexer: when it does not answer, the port answers nothing and queues why, so
// the error query sent with it answers in its place (the queue emptied first of what earlier
// moves left in it).
void RV360Indexer::readSpeed(Tango::Attribute &attribute)
{
    const std::lock_guard lock(mutex_);
    const std::string answer = ask("*CLS\nSPE?\nSYST:ERR?");
    const auto error = ScpiClient::parseError(answer);
    if (error)
        raise("RV360_Refused", error->text, "RV360Indexer::readSpeed");
    speed_ = number("SPE?", answer);
    if (!client_->nextAnswer())
        raise("RV360_NotReachable", client_->lastError(), "RV360Indexer::readSpeed");
    attribute.set_value(&speed_);
}

void RV360Indexer::writeSpeed(Tango::WAttribute &attribute)
{
    writeNumber(attribute, "SPE ", false);
}

void RV360Indexer::readInhibitReason(Tango::Attribute &attribute)
{
    const std::lock_guard lock(mutex_);
    const std::string answer = ask("INH?");
    if (answer != "0" && answer.rfind("1,", 0) != 0)
        badAnswer("INH?", answer);
    setText(attribute, inhibitReason_, answer == "0" ? "" : ScpiClient::unquote(answer.substr(2)));
}

void RV360Indexer::readRemoteAllowed(Tango::Attribute &attribute)
{
    const std::lock_guard lock(mutex_);
    remoteAllowed_ = remote(ask("SYST:REM?")).first;
    attribute.set_value(&remoteAllowed_);
}

void RV360Indexer::readRemoteHolder(Tango::Attribute &attribute)
{
    const std::lock_guard lock(mutex_);
    setText(attribute, remoteHolder_, remote(ask("SYST:REM?")).second);
}

void RV360Indexer::moveTo(const std::string &pocket)
{
    checkText(pocket, "A pocket number or name");
    const bool number =
        !pocket.empty() && pocket.find_first_not_of("0123456789") == std::string::npos;
    const std::lock_guard lock(mutex_);
    change("POCK " + (number ? pocket : ScpiClient::quote(pocket)), true);
}

void RV360Indexer::inhibit(const std::string &reason)
{
    checkText(reason, "A reason");
    const std::lock_guard lock(mutex_);
    change("INH ON," + ScpiClient::quote(reason), false);
}

void RV360Indexer::release(const std::string &)
{
    const std::lock_guard lock(mutex_);
    change("INH OFF", false);
}
