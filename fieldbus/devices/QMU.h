// The filling-post control unit: one Modbus slave serving up to eight posts or, in module mode,
// a rack of I/O plates. The unit makes its posts and plates as devices of their own, polls them
// from its scan step and starts the outside configurator when its Configuration item is read.
#pragma once
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fieldbus/core/Device.h"
#include "fieldbus/core/DeviceModels.h"
#include "fieldbus/devices/ControlUnit.h"
#include "fieldbus/devices/DeviceKit.h"

namespace mb {

class CPost;
class CPlate;

class CQMUDevice : public CControlUnit {
  public:
    static constexpr size_t kSlots = 40;
    static constexpr int kMaxPosts = 8;
    static constexpr double kMaxConfigurationChars = 1 << 20;

    // `ident` is version << 16 | build; option -1 means unknown (the mode is then read).
    CQMUDevice(IDevicePort* port, uint8_t address, std::string name, uint32_t ident,
               int32_t option);
    ~CQMUDevice() override;

    int32_t SetState(int32_t code) override;
    int Scan() override;
    void SetBadQuality() override;
    bool CanCapture() override;
    bool Init() override;
    bool ReadItem(CDeviceItem* item) override;
    int WriteItem(CDeviceItem* item, plat::Variant& value, int32_t id) override;

    uint16_t Version() const override { return version_; }
    uint16_t Build() const override { return build_; }
    int Limited() const override { return limited_; }
    int Mode() const { return mode_; }
    bool OptionA() const override { return opt_a_; }
    bool OptionB() const override { return opt_b_; }
    bool OptionC() const override { return opt_c_; }
    int PostCount() const { return post_count_; }
    const std::vector<CPost*>& Posts() const { return posts_; }
    const std::vector<CPlate*>& Plates() const { return plates_; }
    ItemSlot& Slot(size_t i) { return slots_[i]; }
    // Parent branch name of the unit's items.
    const std::string& ParentName() const { return parent_name_; }
    bool ConfigPending() const { return config_pending_; }
    pid_t ConfiguratorPid() const { return configurator_; }

    void ForgetPost(CPost* post) override;
    bool ActivatePosts() override;
    // Starts the configurator unless it still runs: 0, or the errno of the failed start.
    int StartConfigurator();
    int PlateRead(uint8_t module, uint16_t reg, uint16_t& value) override;
    int PlateWrite(uint8_t module, uint16_t reg, uint16_t value) override;
    // The answer time-out of a local line; 0 when the port has none.
    uint32_t AnswerTimeout() const;
    void SetAnswerTimeout(uint32_t ms);

  private:
    void DefineVariables();
    void DefineModuleVariables();
    bool FindOrCreateBranch(int32_t& handle);
    bool CreatePosts();
    void DiscoverPlates();
    CPost* MakePost(int channel, uint16_t number, uint16_t base, int side, uint32_t identity,
                    uint16_t option);
    // Takes the post off the unit's and the port's lists and deletes it.
    void DropPost(CPost* post);
    void AddPost(CPost* post, size_t at);
    bool RecreatePosts();
    bool UnitInitRead();
    bool ModuleScan();
    void Publish(size_t slot, plat::Variant v, uint16_t quality = kQualityGood);
    void Quality(size_t slot, uint16_t quality);
    std::string TextOfSlot(size_t slot);
    void RedefineUnderFirstPost();

    uint16_t version_ = 0;
    uint16_t build_ = 0;
    int limited_ = 0;
    int mode_ = 0;
    bool opt_a_ = false, opt_b_ = false, opt_c_ = false;
    int side1_ = 0, side2_ = 0, post_count_ = 0;
    std::vector<CPost*> posts_;
    std::vector<std::unique_ptr<CDevice>> kept_;  // posts the port did not take
    std::vector<std::unique_ptr<CPlate>> plate_store_;
    std::vector<CPlate*> plates_;
    std::string first_post_name_;
    std::string parent_name_;
    bool config_pending_ = false;
    bool module_ready_ = false;
    bool initialised_ = false;  // an Init of the post-controller mode has succeeded
    int32_t inspector_snapshot_ = -1;
    pid_t configurator_ = 0;
    int32_t branch_ = -1;
    std::string version_text_;
    std::array<ItemSlot, kSlots> slots_;
    std::array<kit::SlotKind, kSlots> kinds_;
};

// The detection table's maker for type code 0x20.
std::unique_ptr<CDevice> MakeQmu(IDevicePort* port, const DetectedDevice& found);

}  // namespace mb
