// Random changes of every kind a client or the host makes to the phonebook,
// for the seeded tests that check something follows them all.
#ifndef PHONEBOOK_RANDOM_CHANGES_HPP
#define PHONEBOOK_RANDOM_CHANGES_HPP

#include <string>
#include <vector>

#include "plugin_fixture.hpp"

namespace pbtest {

class RandomChanges : public PluginTest {
  protected:
    Random random{0};
    int nextId = 0;
    int imports = 0;

    void SetUp() override {
        PluginTest::SetUp();
        std::filesystem::create_directories(host.path("/etc/config"));
        start();
    }

    datamodel_t *dm() const { return zeb_datamodel(host.context()); }
    std::vector<std::string> entryPaths() const {
        std::vector<std::string> paths;
        object_t *entries = datamodel_getObject(dm(), "Phonebook.Entry", 0);
        for (object_t *e = object_firstInstance(entries); e; e = object_nextInstance(e))
            paths.push_back("Phonebook.Entry." + std::to_string(object_index(e)));
        return paths;
    }
    std::string uniqueIDOf(const std::string &path) {
        return host.get(path + ".UniqueID").toJson();
    }
    std::string freshName() { return "c" + std::to_string(nextId++); }
    virtual json randomContact() {
        std::string id = freshName();
        json contact = {{"uniqueID", id}, {"formattedName", id}, {"title", random.text("ab", 3)}};
        contact["telephoneNumbers"] = json::array();
        for (int n = random.below(3); n > 0; --n)
            contact["telephoneNumbers"].push_back({{"name", "0" + random.text("0123", 6)}});
        return contact;
    }
    void call(const char *function, const json &arguments) {
        host.call("Phonebook", function, arguments);
    }
    // Changes of every kind a client makes, among them refused ones that are
    // rolled back after the UniqueID validator took the new identifier.
    void randomChange() {
        std::vector<std::string> entries = entryPaths();
        std::string entry = entries.empty() ? "" : random.pick(entries);
        std::string other = entries.empty() ? "" : random.pick(entries);
        switch (entries.empty() ? 0 : random.below(12)) {
        case 0:
            call("addContact", {{"contact", randomContact()}});
            break;
        case 1: {
            json contact = randomContact();
            contact.erase("uniqueID");
            call("addContactAndGenUUID", {{"contact", contact}});
            break;
        }
        case 2: { // sometimes under a new identifier, sometimes refused
            json contact = randomContact();
            if (random.chance(50))
                contact["uniqueID"] = uniqueIDOf(entry);
            if (random.chance(20))
                contact["formattedName"] = host.get(other + ".FormattedName").toJson();
            call("modifyContactByUniqueID",
                 {{"uniqueID", uniqueIDOf(entry)}, {"contact", contact}});
            break;
        }
        case 3:
            call("removeContactByUniqueID", {{"uniqueID", uniqueIDOf(entry)}});
            break;
        case 4:
            host.set(entry, {{"Title", random.text("xyz", 4)}});
            break;
        case 5:
            host.set(entry, {{"UniqueID", random.chance(80) ? freshName() : uniqueIDOf(other)}});
            break;
        case 6: {
            std::string number = entry + ".TelephoneNumber." + std::to_string(1 + random.below(3));
            if (random.chance(40))
                host.add(entry + ".TelephoneNumber", {{"Number", "0" + random.text("56", 5)}});
            else if (random.chance(50))
                host.set(number, {{"Number", "0" + random.text("0156", 5)}});
            else
                host.del(number);
            break;
        }
        case 7:
            host.del(entry);
            break;
        case 8: // refused: the name is another entry's
            host.set(entry, {{"FormattedName", host.get(other + ".FormattedName").toJson()},
                             {"Title", "refused"}});
            host.add("Phonebook.Entry",
                     {{"FormattedName", host.get(other + ".FormattedName").toJson()}});
            break;
        case 9: { // a new identifier and a new entry, rolled back
            object_t *object = datamodel_getObject(dm(), entry.c_str(), 0);
            object_parameterSetCharValue(object, "UniqueID", freshName().c_str());
            object_parameterSetCharValue(object, "Title", "rolled back");
            if (object_t *number =
                    datamodel_getObject(dm(), (entry + ".TelephoneNumber.1").c_str(), 0))
                object_parameterSetCharValue(number, "Number", "0555");
            object_createInstance(datamodel_getObject(dm(), "Phonebook.Entry", 0), 0, nullptr);
            object_rollback(datamodel_getObject(dm(), "Phonebook", 0));
            break;
        }
        case 10:
            call("addContacts", {{"contacts", {randomContact(), randomContact()}}});
            break;
        default:
            if (random.chance(3)) {
                host.advance(10000); // saved: the new run loads it
                restart();
            } else if (random.chance(5)) {
                call("removeAllContacts", json::object());
            } else if (random.chance(5)) { // the legacy store, read back
                call("export", json::object());
                if (random.chance(50))
                    call("removeAllContacts", json::object());
                imports += host.call("Phonebook", "import").value() == true;
            }
        }
    }
};

} // namespace pbtest

#endif
