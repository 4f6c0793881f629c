<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>dlg_main</name>
    <message>
        <source>Velmora Stowline</source>
        <translation>Velmora Stowline</translation>
    </message>
    <message>
        <source>Copy</source>
        <translation>复制</translation>
    </message>
    <message>
        <source>Backup</source>
        <translation>备份</translation>
    </message>
    <message>
        <source>Restore</source>
        <translation>还原</translation>
    </message>
    <message>
        <source>menu</source>
        <translation>菜单</translation>
    </message>
    <message>
        <source>Make Boot Disk</source>
        <translation>制作启动盘</translation>
    </message>
    <message>
        <source>HD No</source>
        <translation>硬盘号</translation>
    </message>
    <message>
        <source>Drive Letter</source>
        <translation>盘符</translation>
    </message>
    <message>
        <source>Total Size</source>
        <translation>总大小</translation>
    </message>
    <message>
        <source>Free Size</source>
        <translation>可用空间</translation>
    </message>
    <message>
        <source>Available Size</source>
        <translation>可用空间</translation>
    </message>
    <message>
        <source>Partion Type</source>
        <translation>分区类型</translation>
    </message>
    <message>
        <source>File System</source>
        <translation>文件系统</translation>
    </message>
    <message>
        <source>Dynamic</source>
        <translation>动态磁盘</translation>
    </message>
    <message>
        <source>Start</source>
        <translation>开始</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>Choose</source>
        <translation>浏览</translation>
    </message>
    <message>
        <source>Source:</source>
        <translation>源分区：</translation>
    </message>
    <message>
        <source>Destination:</source>
        <translation>目标分区：</translation>
    </message>
    <message>
        <source>Selete a path to Backup:</source>
        <translation>选择备份路径：</translation>
    </message>
    <message>
        <source>Select an image file:</source>
        <translation>选择镜像文件：</translation>
    </message>
    <message>
        <source>Copy system</source>
        <translation>复制系统</translation>
    </message>
    <message>
        <source>Status:</source>
        <translation>状态：</translation>
    </message>
    <message>
        <source>Total Size:</source>
        <translation>总大小：</translation>
    </message>
    <message>
        <source>Done:</source>
        <translation>已完成：</translation>
    </message>
    <message>
        <source>Elapsed Time:</source>
        <translation>已用时间：</translation>
    </message>
    <message>
        <source>Remaining Time:</source>
        <translation>剩余时间：</translation>
    </message>
    <message>
        <source>Language</source>
        <translation>语言</translation>
    </message>
    <message>
        <source>Chinese</source>
        <translation>中文</translation>
    </message>
    <message>
        <source>English</source>
        <translation>English</translation>
    </message>
    <message>
        <source>Exit</source>
        <translation>退出</translation>
    </message>
    <message>
        <source>Home</source>
        <translation>主页</translation>
    </message>
    <message>
        <source>Help</source>
        <translation>帮助</translation>
    </message>
    <message>
        <source>About</source>
        <translation>关于</translation>
    </message>
    <message>
        <source>close</source>
        <translation>关闭</translation>
    </message>
    <message>
        <source>minimize</source>
        <translation>最小化</translation>
    </message>
</context>
<context>
    <name>messagebox</name>
    <message>
        <source>ok</source>
        <translation>确定</translation>
    </message>
    <message>
        <source>cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>retry</source>
        <translation>重试</translation>
    </message>
    <message>
        <source>abort</source>
        <translation>中止</translation>
    </message>
    <message>
        <source>ignore</source>
        <translation>忽略</translation>
    </message>
    <message>
        <source>yes</source>
        <translation>是</translation>
    </message>
    <message>
        <source>no</source>
        <translation>否</translation>
    </message>
    <message>
        <source>prompt</source>
        <translation>提示</translation>
    </message>
    <message>
        <source>MessageBox</source>
        <translation>消息</translation>
    </message>
    <message>
        <source>Tips</source>
        <translation>提示</translation>
    </message>
    <message>
        <source>Program is running.</source>
        <translation>程序已在运行。</translation>
    </message>
    <message>
        <source>Task is running. Do you want to cancel it?</source>
        <translation>任务正在运行，是否取消？</translation>
    </message>
    <message>
        <source>Stop the operation?</source>
        <translation>是否停止当前操作？</translation>
    </message>
    <message>
        <source>Velmora Stowline reads and writes whole volumes and needs administrator rights. Start it again as root, for example with pkexec stowline.</source>
        <translation>Velmora Stowline 需要读写整个分区，必须以管理员权限运行。请以 root 身份重新启动，例如：pkexec stowline。</translation>
    </message>
</context>
<context>
    <name>dlg_success</name>
    <message>
        <source>Result</source>
        <translation>结果</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>确定</translation>
    </message>
    <message>
        <source>Mission completed!</source>
        <translation>任务完成！</translation>
    </message>
    <message>
        <source>Thank you for your use!</source>
        <translation>感谢您的使用！</translation>
    </message>
    <message>
        <source>Task failed to run!!!</source>
        <translation>任务运行失败！！！</translation>
    </message>
    <message>
        <source>Sorry, please try again!</source>
        <translation>抱歉，请重试！</translation>
    </message>
</context>
<context>
    <name>dlg_about</name>
    <message>
        <source>About</source>
        <translation>关于</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>确定</translation>
    </message>
    <message>
        <source>Version 3.0</source>
        <translation>版本 3.0</translation>
    </message>
    <message>
        <source>Velmora Stowline: copy, back up and restore NTFS partitions</source>
        <translation>Velmora Stowline：复制、备份和还原 NTFS 分区</translation>
    </message>
    <message>
        <source>This program is free of charge for private use.
It comes without any warranty.
Back up your data before you change partitions.</source>
        <translation>本程序供个人免费使用。
本程序不提供任何担保。
更改分区之前，请先备份您的数据。</translation>
    </message>
</context>
</TS>
