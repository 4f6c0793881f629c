<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_GB">
<context>
    <name>dlg_main</name>
    <message>
        <source>Velmora Stowline</source>
        <translation>Velmora Stowline</translation>
    </message>
    <message>
        <source>Copy</source>
        <translation>Copy</translation>
    </message>
    <message>
        <source>Backup</source>
        <translation>Backup</translation>
    </message>
    <message>
        <source>Restore</source>
        <translation>Restore</translation>
    </message>
    <message>
        <source>menu</source>
        <translation>Menu</translation>
    </message>
    <message>
        <source>Make Boot Disk</source>
        <translation>Make Boot Disk</translation>
    </message>
    <message>
        <source>HD No</source>
        <translation>HD No</translation>
    </message>
    <message>
        <source>Drive Letter</source>
        <translation>Drive Letter</translation>
    </message>
    <message>
        <source>Total Size</source>
        <translation>Total Size</translation>
    </message>
    <message>
        <source>Free Size</source>
        <translation>Free Size</translation>
    </message>
    <message>
        <source>Available Size</source>
        <translation>Available Size</translation>
    </message>
    <message>
        <source>Partion Type</source>
        <translation>Partition Type</translation>
    </message>
    <message>
        <source>File System</source>
        <translation>File System</translation>
    </message>
    <message>
        <source>Dynamic</source>
        <translation>Dynamic</translation>
    </message>
    <message>
        <source>Start</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>Choose</source>
        <translation>Choose</translation>
    </message>
    <message>
        <source>Source:</source>
        <translation>Source:</translation>
    </message>
    <message>
        <source>Destination:</source>
        <translation>Destination:</translation>
    </message>
    <message>
        <source>Selete a path to Backup:</source>
        <translation>Select a path to back up to:</translation>
    </message>
    <message>
        <source>Select an image file:</source>
        <translation>Select an image file:</translation>
    </message>
    <message>
        <source>Copy system</source>
        <translation>Copy system</translation>
    </message>
    <message>
        <source>Status:</source>
        <translation>Status:</translation>
    </message>
    <message>
        <source>Total Size:</source>
        <translation>Total Size:</translation>
    </message>
    <message>
        <source>Done:</source>
        <translation>Done:</translation>
    </message>
    <message>
        <source>Elapsed Time:</source>
        <translation>Elapsed Time:</translation>
    </message>
    <message>
        <source>Remaining Time:</source>
        <translation>Remaining Time:</translation>
    </message>
    <message>
        <source>Language</source>
        <translation>Language</translation>
    </message>
    <message>
        <source>Chinese</source>
        <translation>Chinese</translation>
    </message>
    <message>
        <source>English</source>
        <translation>English</translation>
    </message>
    <message>
        <source>Exit</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source>Home</source>
        <translation>Home</translation>
    </message>
    <message>
        <source>Help</source>
        <translation>Help</translation>
    </message>
    <message>
        <source>About</source>
        <translation>About</translation>
    </message>
    <message>
        <source>close</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>minimize</source>
        <translation>Minimise</translation>
    </message>
</context>
<context>
    <name>messagebox</name>
    <message>
        <source>ok</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>cancel</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>retry</source>
        <translation>Retry</translation>
    </message>
    <message>
        <source>abort</source>
        <translation>Abort</translation>
    </message>
    <message>
        <source>ignore</source>
        <translation>Ignore</translation>
    </message>
    <message>
        <source>yes</source>
        <translation>YES</translation>
    </message>
    <message>
        <source>no</source>
        <translation>NO</translation>
    </message>
    <message>
        <source>prompt</source>
        <translation>prompt</translation>
    </message>
    <message>
        <source>MessageBox</source>
        <translation>MessageBox</translation>
    </message>
    <message>
        <source>Tips</source>
        <translation>Tips</translation>
    </message>
    <message>
        <source>Program is running.</source>
        <translation>Program is running.</translation>
    </message>
    <message>
        <source>Task is running. Do you want to cancel it?</source>
        <translation>Task is running. Do you want to cancel it?</translation>
    </message>
    <message>
        <source>Stop the operation?</source>
        <translation>Stop the operation?</translation>
    </message>
    <message>
        <source>Velmora Stowline reads and writes whole volumes and needs administrator rights. Start it again as root, for example with pkexec stowline.</source>
        <translation>Velmora Stowline reads and writes whole volumes and needs administrator rights. Start it again as root, for example with pkexec stowline.</translation>
    </message>
</context>
<context>
    <name>dlg_success</name>
    <message>
        <source>Result</source>
        <translation>Result</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Mission completed!</source>
        <translation>Mission completed!</translation>
    </message>
    <message>
        <source>Thank you for your use!</source>
        <translation>Thank you for your use!</translation>
    </message>
    <message>
        <source>Task failed to run!!!</source>
        <translation>Task failed to run!!!</translation>
    </message>
    <message>
        <source>Sorry, please try again!</source>
        <translation>Sorry, please try again!</translation>
    </message>
</context>
<context>
    <name>dlg_about</name>
    <message>
        <source>About</source>
        <translation>About</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Version 3.0</source>
        <translation>Version 3.0</translation>
    </message>
    <message>
        <source>Velmora Stowline: copy, back up and restore NTFS partitions</source>
        <translation>Velmora Stowline: copy, back up and restore NTFS partitions</translation>
    </message>
    <message>
        <source>This program is free of charge for private use.
It comes without any warranty.
Back up your data before you change partitions.</source>
        <translation>This program is free of charge for private use.
It comes without any warranty.
Back up your data before you change partitions.</translation>
    </message>
</context>
</TS>
