// read_collection: prints the members of one collection of a live shared table, knowing nothing
// of the entity's or the records' C++ types: everything goes through the type registry and the
// generic function tables.
//
//     build/read_collection TABLE            e.g.  build/read_collection sys/ft/ipFlowEntry
//
// TABLE is a collection's table name, "<entity name>/<collection>". Run it as a user who may
// read the tables, with $HOARD_SHM_ROOT set as the writer has it (default /dev/shm/hoard), while
// the table's writer is alive. It is built with the library (the `read_collection` target).
//
// The steps:
// 1. Read the table's slot header from <root>/<TABLE>/slots (pread, no mapping): its classType
//    names the entity's class, its valueType the records' type.
// 2. Create an entity of that class named "<entity name>" with the class's newEntityForDir; its
//    collection's table then has TABLE as its name.
// 3. Read the collection's control attribute ("<collection>Control") with op 0 and initialise the
//    control in mode 2: a reader attached to the live writer's table.
// 4. Walk the collection with the generic iterator and print each member: its attributes by the
//    numbers the value type's record gives them, each with its value text (the record's text
//    form, which lists the attributes by name).
//
// Output: one block per member, then "<class> <entity name>: <count> members". Exit status 0
// after a complete walk, 1 when the table cannot be read or has no live writer, 2 on bad usage.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "Hoard/SlotTable.h"
#include "KilnHoard/CollectionControl.h"
#include "contracts/Basalt/DebugHandler.h"
#include "contracts/HoardBase/HoardType.h"
#include "contracts/Kiln/AttributeTexts.h"
#include "contracts/Kiln/Entity.h"
#include "contracts/Kiln/KilnType.h"
#include "contracts/Mem/RootPath.h"

namespace {

using Kiln::GenericIf;

// The slot file's fixed header, read with pread: a copy, never a mapping of the live file.
bool readSlotHeader(const std::string& path, Hoard::SlotTable::Header& header) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t n = ::pread(fd, &header, sizeof header, 0);
    ::close(fd);
    return n == static_cast<ssize_t>(sizeof header) && header.magic == Hoard::SlotTable::magicValue;
}

std::string nameField(const char (&field)[Hoard::SlotTable::nameSize]) {
    return std::string(field, ::strnlen(field, sizeof field));
}

int fail(const std::string& why) {
    std::fprintf(stderr, "read_collection: %s\n", why.c_str());
    return 1;
}

int readCollection(const std::string& tableName) {
    const auto debug = Basalt::Platform::getDebugHandler("read_collection");
    const std::size_t slash = tableName.rfind('/');
    if (slash == std::string::npos || slash == 0) return fail("no entity in " + tableName);
    const std::string entityName = tableName.substr(0, slash);
    const std::string collection = tableName.substr(slash + 1);

    // 1. The header names the entity's class and the records' type.
    Hoard::SlotTable::Header header{};
    const std::string slots =
        Mem::RootPath(debug, tableName).filePath(Hoard::SlotTable::slotsFileName);
    if (!readSlotHeader(slots, header)) return fail("no table header in " + slots);
    const std::string className = nameField(header.classType);
    const Kiln::KilnType* entityType = Kiln::typeNode(className);
    if (!entityType || !entityType->genericIf() || !entityType->genericIf()->newEntityForDir) {
        return fail(className + " is not a registered entity type");
    }
    const GenericIf::Table& entityIf = *entityType->genericIf();
    const Kiln::KilnType::Attribute* members = entityType->attribute(collection);
    const Kiln::KilnType::Attribute* control = entityType->attribute(collection + "Control");
    if (!members || !control) return fail(className + " has no collection " + collection);

    // 2. The entity, named so that its collection's table is this one.
    const Kiln::Ptr<Kiln::Entity> entity =
        entityIf.newEntityForDir(Kiln::Name(entityName), nullptr, 0);
    void* const object = static_cast<Kiln::PtrInterface*>(entity.ptr());

    // 3. The collection's control, opened as a reader of the live table.
    Kiln::Ptr<KilnHoard::CollectionControl> collectionControl;
    if (entityIf.attributeOp(&collectionControl, object, control->number, GenericIf::attrGet,
                             nullptr, nullptr) != GenericIf::success ||
        !collectionControl) {
        return fail("no control for " + collection);
    }
    collectionControl->init(Hoard::reader, false, std::max(1u, header.numSlots().value));
    if (!collectionControl->quiesced()) return fail("no live writer for " + tableName);

    // 4. The walk. The records' type gives their text and their attributes' numbers.
    const Kiln::KilnType* valueType = Kiln::typeNode(nameField(header.valueType));
    const GenericIf::Table* valueIf = valueType ? valueType->genericIf() : nullptr;
    GenericIf::IteratorTable it;
    void* const walk = entityIf.genericIfIterator(object, members->number, &it);
    if (!walk) return fail(collection + " cannot be iterated");
    std::size_t count = 0;
    for (; it.iterNonnull(walk); it.iterInc(walk)) {
        std::printf("member %zu\n", ++count);
        if (!valueIf || !valueIf->strRep) {
            std::printf("  (%s has no value text)\n", nameField(header.valueType).c_str());
            continue;
        }
        const Kiln::String text = valueIf->strRep(it.iterObj(walk), *valueType);
        for (const auto& [name, value] : Kiln::attributeTexts(text.stdString())) {
            const Kiln::KilnType::Attribute* a = valueType->attribute(name);
            std::printf("  %s %s: %s\n", a ? std::to_string(a->number).c_str() : "-", name.c_str(),
                        value.c_str());
        }
    }
    it.iterDel(walk);
    std::printf("%s %s: %zu members\n", className.c_str(), entityName.c_str(), count);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* const usage = "usage: read_collection TABLE  (e.g. sys/ft/ipFlowEntry)\n";
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (argc != 2) {
        std::fputs(usage, stderr);
        return 2;
    }
    try {
        return readCollection(argv[1]);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
}
