#include "gadget/configfs_gadget.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace kv::gadget {
namespace {

std::string Hex4(uint16_t v)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%04x", v);
    return buf;
}

int MakeDir(const std::string& path)
{
    if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST)
        return 0;
    return -errno;
}

void RemoveDir(const std::string& path) { rmdir(path.c_str()); }

constexpr const char* kConfig = "/configs/c.1";
constexpr const char* kLanguage = "/strings/0x409";

}  // namespace

std::vector<uint8_t> BaseControllerReportDescriptor()
{
    return {
        0x06, 0x00, 0xFF,  // Usage Page (vendor 0xFF00)
        0x09, 0x01,        // Usage 1
        0xA1, 0x01,        // Collection (Application)
        0x15, 0x00,        //   Logical Minimum 0
        0x26, 0xFF, 0x00,  //   Logical Maximum 255
        0x75, 0x08,        //   Report Size 8 bits
        0x95, 0x08,        //   Report Count 8
        0x09, 0x01,        //   Usage 1
        0x81, 0x02,        //   Input (Data, Variable, Absolute)
        0x95, 0x08,        //   Report Count 8
        0x09, 0x01,        //   Usage 1
        0x91, 0x02,        //   Output (Data, Variable, Absolute)
        0xC0,              // End Collection
    };
}

int WriteTextFile(const std::string& path, const std::string& text)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    const ssize_t n = write(fd, text.data(), text.size());
    const int err = n < 0 ? -errno : 0;
    close(fd);
    if (err != 0)
        return err;
    return static_cast<size_t>(n) == text.size() ? 0 : -EIO;
}

int WriteBinaryFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    return WriteTextFile(path, std::string(bytes.begin(), bytes.end()));
}

int ReadTextFile(const std::string& path, std::string* text)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    text->clear();
    char buf[256];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            const int err = -errno;
            close(fd);
            return err;
        }
        if (n == 0)
            break;
        text->append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return 0;
}

ConfigfsGadget::ConfigfsGadget(std::string configfsRoot, std::string name, std::string udc)
    : root_(std::move(configfsRoot)), name_(std::move(name)), udc_(std::move(udc)), dir_(root_ + "/" + name_)
{
}

ConfigfsGadget::~ConfigfsGadget() { Remove(); }

int ConfigfsGadget::CreateCommon(const GadgetIdentity& id)
{
    if (created_)
        return -EBUSY;
    int rc = MakeDir(dir_);
    if (rc != 0)
        return rc;
    created_ = true;
    const std::pair<const char*, std::string> attrs[] = {
        {"/idVendor", Hex4(id.vendorId)},
        {"/idProduct", Hex4(id.productId)},
        {"/bcdDevice", Hex4(id.bcdDevice)},
        {"/bcdUSB", "0x0200"},
    };
    for (const auto& [file, value] : attrs)
        if ((rc = WriteTextFile(dir_ + file, value)) != 0)
            return rc;
    if ((rc = MakeDir(dir_ + kLanguage)) != 0)
        return rc;
    const std::pair<const char*, const std::string*> strings[] = {
        {"/manufacturer", &id.manufacturer}, {"/product", &id.product}, {"/serialnumber", &id.serial}};
    for (const auto& [file, value] : strings)
        if (!value->empty() && (rc = WriteTextFile(dir_ + kLanguage + file, *value)) != 0)
            return rc;
    if ((rc = MakeDir(dir_ + kConfig)) != 0)
        return rc;
    if ((rc = MakeDir(dir_ + kConfig + kLanguage)) != 0)
        return rc;
    if ((rc = WriteTextFile(dir_ + kConfig + kLanguage + "/configuration", "Tower")) != 0)
        return rc;
    return WriteTextFile(dir_ + kConfig + "/MaxPower", "100");
}

int ConfigfsGadget::LinkFunction(const std::string& function)
{
    const std::string target = dir_ + "/functions/" + function;
    const std::string link = dir_ + kConfig + "/" + function;
    if (symlink(target.c_str(), link.c_str()) != 0 && errno != EEXIST)
        return -errno;
    return 0;
}

int ConfigfsGadget::CreateHid(const GadgetIdentity& id, const HidFunctionSetup& hid)
{
    int rc = CreateCommon(id);
    if (rc != 0) {
        Remove();
        return rc;
    }
    function_ = "hid." + name_;
    const std::string f = dir_ + "/functions/" + function_;
    if ((rc = MakeDir(f)) == 0 && (rc = WriteTextFile(f + "/protocol", std::to_string(hid.protocol))) == 0 &&
        (rc = WriteTextFile(f + "/subclass", std::to_string(hid.subclass))) == 0 &&
        (rc = WriteTextFile(f + "/report_length", std::to_string(hid.reportLength))) == 0 &&
        (rc = WriteBinaryFile(f + "/report_desc", hid.reportDescriptor)) == 0)
        rc = LinkFunction(function_);
    if (rc != 0)
        Remove();
    return rc;
}

int ConfigfsGadget::CreateFunctionFs(const GadgetIdentity& id, const std::string& ffsInstance)
{
    int rc = CreateCommon(id);
    if (rc != 0) {
        Remove();
        return rc;
    }
    function_ = "ffs." + ffsInstance;
    if ((rc = MakeDir(dir_ + "/functions/" + function_)) == 0)
        rc = LinkFunction(function_);
    if (rc != 0)
        Remove();
    return rc;
}

int ConfigfsGadget::Remove()
{
    if (!created_)
        return 0;
    Unbind();
    if (!function_.empty()) {
        unlink((dir_ + kConfig + "/" + function_).c_str());
        RemoveDir(dir_ + "/functions/" + function_);
    }
    RemoveDir(dir_ + kConfig + kLanguage);
    RemoveDir(dir_ + kConfig);
    RemoveDir(dir_ + kLanguage);
    const int rc = rmdir(dir_.c_str()) == 0 ? 0 : -errno;
    created_ = false;
    function_.clear();
    return rc;
}

int ConfigfsGadget::Bind()
{
    if (!created_)
        return -ENOENT;
    if (bound_)
        return 0;
    const int rc = WriteTextFile(dir_ + "/UDC", udc_);
    if (rc == 0)
        bound_ = true;
    return rc;
}

int ConfigfsGadget::Unbind()
{
    if (!bound_)
        return 0;
    const int rc = WriteTextFile(dir_ + "/UDC", "\n");
    // Whatever the answer, the gadget is no longer to be taken as bound: a
    // failed unbind means the controller is gone already.
    bound_ = false;
    return rc;
}

int ConfigfsGadget::HidDeviceNumber(unsigned* major, unsigned* minor) const
{
    if (!created_ || function_.rfind("hid.", 0) != 0)
        return -ENOENT;
    std::string text;
    const int rc = ReadTextFile(dir_ + "/functions/" + function_ + "/dev", &text);
    if (rc != 0)
        return rc;
    unsigned a = 0;
    unsigned b = 0;
    if (std::sscanf(text.c_str(), "%u:%u", &a, &b) != 2)
        return -EINVAL;
    *major = a;
    *minor = b;
    return 0;
}

}  // namespace kv::gadget
