// A contextual-menu plug-in for the host's tests. Two factories (the first
// adds a separator and a submenu of every kind of record, the second one
// command); every call is appended to the file FAKE_CM_RECORD names, with
// the context as the plug-in sees it, so a test reads back the calling order,
// the chosen command and the context.
#include "platform/ContextualMenu.h"
#include "platform/Files.h"

#include <QString>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

namespace {

struct Instance {
    ContextualMenuInterfaceStruct* table;
    CFUUIDRef factory;
    UInt32 refs;
    const char* tag;
};

void Record(const std::string& line) {
    const char* path = std::getenv("FAKE_CM_RECORD");
    if (!path) return;
    if (FILE* f = std::fopen(path, "a")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

Instance* Self(void* p) {
    return static_cast<Instance*>(p);
}

CFUUIDRef FirstFactory() {
    // 6A1C0A52-2B4E-4C57-9E0B-1F4C5D7E8A01
    return CFUUIDGetConstantUUIDWithBytes(nullptr, 0x6A, 0x1C, 0x0A, 0x52, 0x2B, 0x4E, 0x4C, 0x57,
                                          0x9E, 0x0B, 0x1F, 0x4C, 0x5D, 0x7E, 0x8A, 0x01);
}

CFUUIDRef SecondFactory() {
    // 6A1C0A52-2B4E-4C57-9E0B-1F4C5D7E8A02
    return CFUUIDGetConstantUUIDWithBytes(nullptr, 0x6A, 0x1C, 0x0A, 0x52, 0x2B, 0x4E, 0x4C, 0x57,
                                          0x9E, 0x0B, 0x1F, 0x4C, 0x5D, 0x7E, 0x8A, 0x02);
}

ULONG AddRef(void* p) {
    return ++Self(p)->refs;
}

ULONG Release(void* p) {
    Instance* self = Self(p);
    const ULONG left = --self->refs;
    Record(std::string("release ") + self->tag + " " + std::to_string(left));
    if (left == 0) {
        CFPlugInRemoveInstanceForFactory(self->factory);
        delete self;
    }
    return left;
}

HRESULT QueryInterface(void* p, REFIID iid, LPVOID* out) {
    CFUUIDRef asked = CFUUIDCreateFromUUIDBytes(nullptr, iid);
    const bool known =
        CFUUIDEqual(asked, kContextualMenuInterfaceID) || CFUUIDEqual(asked, IUnknownUUID);
    CFRelease(asked);
    Record(std::string("query ") + Self(p)->tag + (known ? " ok" : " refused"));
    if (!known) {
        *out = nullptr;
        return HRESULT(0x80000004);
    }
    AddRef(p);
    *out = p;
    return S_OK;
}

void PutRecord(AEDescList* list, DescType titleType, const QByteArray& title, SInt32 id,
               SInt32 attributes, const AEDescList* submenu = nullptr) {
    AERecord record;
    AECreateList(nullptr, 0, true, &record);
    AEPutParamPtr(&record, keyContextualMenuName, titleType, title.constData(), title.size());
    if (!submenu) AEPutParamPtr(&record, keyContextualMenuCommandID, typeSInt32, &id, sizeof id);
    if (attributes)
        AEPutParamPtr(&record, keyContextualMenuAttributes, typeSInt32, &attributes,
                      sizeof attributes);
    if (submenu) AEPutParamDesc(&record, keyContextualMenuSubmenu, submenu);
    AEPutDesc(list, 0, &record);
    AEDisposeDesc(&record);
}

QByteArray Utxt(const QString& text) {
    return QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
}

void PutCommand(AEDescList* list, const QString& title, SInt32 id, SInt32 attributes = 0) {
    PutRecord(list, typeUnicodeText, Utxt(title), id, attributes);
}

// An item as the plug-in sees it: the path it coerces to, or its text.
std::string Describe(const AEDesc& item) {
    AEDesc ref;
    AEInitializeDesc(&ref);
    std::string out;
    if (AECoerceDesc(&item, typeFSRef, &ref) == noErr) {
        FSRef fsRef;
        UInt8 path[4096];
        if (AEGetDescData(&ref, &fsRef, sizeof fsRef) == noErr &&
            FSRefMakePath(&fsRef, path, sizeof path) == noErr)
            out = reinterpret_cast<const char*>(path);
    } else if (AECoerceDesc(&item, typeUnicodeText, &ref) == noErr) {
        QByteArray utf16(AEGetDescDataSize(&ref), '\0');
        AEGetDescData(&ref, utf16.data(), utf16.size());
        out = (item.descriptorType == typeChar ? "TEXT:" : "utxt:") +
              QString(reinterpret_cast<const QChar*>(utf16.constData()), utf16.size() / 2)
                  .toStdString();
    } else {
        out = "other";
    }
    AEDisposeDesc(&ref);
    return out;
}

void RecordContext(const char* what, Instance* self, const AEDesc* context, SInt32 id = 0) {
    std::string line = std::string(what) + " " + self->tag;
    if (id) line += " " + std::to_string(id);
    if (context->descriptorType != typeAEList) {
        Record(line + " desc " + Describe(*context));
        return;
    }
    long count = 0;
    AECountItems(context, &count);
    line += " list " + std::to_string(count);
    for (long i = 1; i <= count; ++i) {
        AEDesc item;
        if (AEGetNthDesc(context, i, typeWildCard, nullptr, &item) != noErr) continue;
        line += " " + Describe(item);
        AEDisposeDesc(&item);
    }
    Record(line);
}

OSStatus ExamineFirst(void* p, const AEDesc* context, AEDescList* commands) {
    RecordContext("examine", Self(p), context);
    AEDescList more, sub;
    AECreateList(nullptr, 0, false, &more);
    PutCommand(&more, QStringLiteral("Deep"), 3001);
    PutCommand(&more, QStringLiteral("Twin"), 3002);
    AECreateList(nullptr, 0, false, &sub);
    PutCommand(&sub, QStringLiteral("Group"), 0, kMenuItemAttrSectionHeader);
    PutCommand(&sub, QStringLiteral("Alpha"), 2001);
    PutRecord(&sub, typeChar, "Caf\x8E", 2002, 0); // Mac Roman
    PutCommand(&sub, QString::fromUtf8("Ünïcode ☂"), 2003);
    PutRecord(&sub, typeUnicodeText, Utxt(QStringLiteral("More")), 0, 0, &more);
    PutCommand(&sub, QString(), 0, kMenuItemAttrSeparator);
    PutCommand(&sub, QStringLiteral("Disabled"), 3003, kMenuItemAttrDisabled);
    if (const char* extra = std::getenv("FAKE_CM_TITLE"))
        PutCommand(&sub, QString::fromUtf8(extra), 4000);
    PutCommand(commands, QString(), 0, kMenuItemAttrSeparator);
    PutRecord(commands, typeChar, "FakeCM", 0, 0, &sub);
    PutCommand(commands, QStringLiteral("Twin"), 1);
    AEDisposeDesc(&sub);
    AEDisposeDesc(&more);
    return noErr;
}

OSStatus ExamineSecond(void* p, const AEDesc* context, AEDescList* commands) {
    RecordContext("examine", Self(p), context);
    PutCommand(commands, QStringLiteral("Second"), 77);
    return noErr;
}

OSStatus HandleSelection(void* p, AEDesc* context, SInt32 id) {
    RecordContext("handle", Self(p), context, id);
    return noErr;
}

void PostMenuCleanup(void* p) {
    Record(std::string("cleanup ") + Self(p)->tag);
}

ContextualMenuInterfaceStruct gFirstTable = {nullptr,      QueryInterface,  AddRef,         Release,
                                             ExamineFirst, HandleSelection, PostMenuCleanup};
ContextualMenuInterfaceStruct gSecondTable = {
    nullptr, QueryInterface, AddRef, Release, ExamineSecond, HandleSelection, PostMenuCleanup};

void* Make(CFUUIDRef type, ContextualMenuInterfaceStruct* table, CFUUIDRef factory,
           const char* tag) {
    if (!CFUUIDEqual(type, kContextualMenuTypeID)) return nullptr;
    Record(std::string("factory ") + tag);
    CFPlugInAddInstanceForFactory(factory);
    return new Instance{table, factory, 1, tag};
}

} // namespace

extern "C" __attribute__((visibility("default"))) void* FakeCMFactory(CFAllocatorRef,
                                                                      CFUUIDRef type) {
    return Make(type, &gFirstTable, FirstFactory(), "first");
}

extern "C" __attribute__((visibility("default"))) void* FakeCMSecondFactory(CFAllocatorRef,
                                                                            CFUUIDRef type) {
    return Make(type, &gSecondTable, SecondFactory(), "second");
}
