#!/usr/bin/env python3
"""Writes the documents the end-to-end tests' HTTP server hands out.

The updater reads GBK only, so the files are written from here rather than
edited by hand: run `python3 tests/support/make_fixtures.py` after a change.
The server replaces @PORT@ in .xml files with its own port, which lets a
document name addresses of the server that serves it. Lines end in CR LF, as
on the update servers; each element's attributes stay on one line because
the updater's reader separates attributes by single spaces only.
"""
import os
import zlib

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "server")
BASE = "http://127.0.0.1:@PORT@/"
AD_CODE = '<![CDATA[<a href="http://127.0.0.1/">访问官网</a>]]>'
LOG = "<![CDATA[\r\n2.0 版本更新内容：\r\n1. 修正了读取配置时的若干问题；\r\n2. 界面文字 <更新> & 调整。\r\n]]>"


def server(name, addr):
    return f'      <Server Name="{name}" Addr="{addr}"/>'


def config(root="Update", soft_name="测试软件", servers=None, version="2.0", main_exe="CeShi.exe"):
    if servers is None:
        servers = [server("电信服务器", BASE + "srv1/"),
                   server("网通服务器", BASE + "srv2/"),
                   server("备用服务器", BASE + "srv3/")]
    lines = [
        '<?xml version="1.0" encoding="gb2312"?>',
        f"<{root}>",
        "  <Setting>",
        f"    <SoftName>{soft_name}</SoftName>",
        "    <ShortName>CeShi</ShortName>",
        "    <UTF8Encode>0</UTF8Encode>",
        f"    <MainExe>{main_exe}</MainExe>",
        f"    <AdCode>{AD_CODE}</AdCode>",
        f"    <Version>{version}</Version>",
        "    <ServerGroup>",
        *servers,
        "    </ServerGroup>",
        "  </Setting>",
        f"  <Log>{LOG}</Log>",
        f"</{root}>",
    ]
    return "\r\n".join(lines) + "\r\n"


def file_list(files):
    lines = ['<?xml version="1.0" encoding="gb2312"?>', "<Files>"]
    for name, data in files:
        crc = "%X" % zlib.crc32(data)
        lines.append(f'  <File Name="{name}" Hash="{crc}"/>')
    lines.append("</Files>")
    return "\r\n".join(lines) + "\r\n"


def write(path, text_or_bytes):
    full = os.path.join(ROOT, *path.split("/"))
    os.makedirs(os.path.dirname(full), exist_ok=True)
    data = text_or_bytes if isinstance(text_or_bytes, bytes) else text_or_bytes.encode("gbk")
    with open(full, "wb") as f:
        f.write(data)


def main():
    write("cfg/update.xml", config())
    write("cfg/wrong_root.xml", config(root="Config"))
    write("cfg/empty_soft_name.xml", config(soft_name=""))
    # An error page of the kind a proxy sends: it never closes its <p>.
    write("cfg/not_document.xml",
          "<html><head><title>502 Bad Gateway</title></head>\r\n"
          "<body><h1>502 Bad Gateway</h1><p>nginx\r\n</body></html>\r\n")
    write("cfg/twelve_servers.xml", config(servers=[
        server("服务器%02d" % i, BASE + "srv%d/" % i) for i in range(1, 13)]))
    write("cfg/ampersand.xml", config(servers=[
        server("电信&amp;网通", BASE + "srv1/"),
        server("备用服务器", BASE + "srv2/")]))
    # Only the third child is usable: no Addr, then a foreign element.
    write("cfg/mixed_group.xml", config(servers=[
        '      <Server Name="缺少地址"/>',
        '      <Mirror Name="其他元素" Addr="' + BASE + 'srv1/"/>',
        server("完整服务器", BASE + "srv2/")]))
    write("cfg/no_servers.xml", config(servers=[]))
    write("cfg/name_with_xxx.xml", config(soft_name="XXX工具"))

    readme = "更新后的说明文件。\r\n".encode("gbk")
    for srv in ("srv1", "srv2", "srv3"):
        write(f"{srv}/2.0/readme.txt", readme)
        write(f"{srv}/2.0/filelist.xml", file_list([("readme.txt", readme)]))

    # Failing downloads: the middle file is the one the tests make the server
    # refuse, stall or cut short; it is binary and large enough to arrive in
    # several reads, in a sub-folder so that staging has to make one.
    write("cfg/faults.xml", config(servers=[server("故障服务器", BASE + "faults/")]))
    faults = [
        ("alpha.txt", "第一个文件，在出错的文件之前下载。\r\n".encode("gbk")),
        ("data\\beta.dat", bytes((i * 31 + i // 256) % 256 for i in range(16384))),
        ("gamma.txt", "第三个文件，在出错的文件之后下载。\r\n".encode("gbk")),
    ]
    for name, data in faults:
        write("faults/2.0/" + name.replace("\\", "/"), data)
    write("faults/2.0/filelist.xml", file_list(faults))

    # A release with a new updater, listed before the file the tests make the
    # server refuse: the new Update.exe is staged before the run stops.
    write("cfg/self_retry.xml", config(servers=[server("自更新服务器", BASE + "self_retry/")]))
    self_retry = [
        ("Update.exe", "新版本的更新程序，由替换脚本在退出后放置。\r\n".encode("gbk")),
        ("alpha.txt", "与新的更新程序一同发布的文件。\r\n".encode("gbk")),
    ]
    for name, data in self_retry:
        write("self_retry/2.0/" + name, data)
    write("self_retry/2.0/filelist.xml", file_list(self_retry))

    # Names that would leave the program folder, between two that do not.
    # The server has none of the escaping files: they must never be asked for.
    write("cfg/escape.xml", config(servers=[server("越界服务器", BASE + "escape/")]))
    inside = [
        ("inside.txt", "留在程序目录中的文件。\r\n".encode("gbk")),
        ("sub\\inside.txt", "子目录中的文件。\r\n".encode("gbk")),
    ]
    stray = "不应写出的文件。\r\n".encode("gbk")
    escaping = [
        "..\\e2e-escape-parent.txt",
        "sub\\..\\..\\e2e-escape-nested.txt",
        "sub/../../e2e-escape-forward.txt",
        "C:\\e2e-escape-drive.txt",
        "\\e2e-escape-root.txt",
        "/e2e-escape-slash.txt",
        "inside.txt:e2e-escape-stream",
    ]
    for name, data in inside:
        write("escape/2.0/" + name.replace("\\", "/"), data)
    write("escape/2.0/filelist.xml",
          file_list(inside[:1] + [(name, stray) for name in escaping] + inside[1:]))

    # Names inside the staging folder update\, in any case and with either
    # separator, between two that are not ("updates" only begins alike). The
    # server has none of the staged-folder files: they must never be asked for.
    write("cfg/staging_names.xml", config(servers=[server("暂存目录服务器", BASE + "staging_names/")]))
    kept = [
        ("kept.txt", "程序目录中的文件。\r\n".encode("gbk")),
        ("updates\\kept.txt", "名称以 update 开头的目录中的文件。\r\n".encode("gbk")),
    ]
    for name, data in kept:
        write("staging_names/2.0/" + name.replace("\\", "/"), data)
    write("staging_names/2.0/filelist.xml",
          file_list(kept[:1] + [(name, stray) for name in ("update\\x.txt", "Update/x/y.txt")] + kept[1:]))

    # A file list the reader cannot load: the check fails rather than
    # reporting an update with nothing checked.
    write("cfg/broken_list.xml", config(servers=[server("坏列表服务器", BASE + "broken_list/")]))
    # A main program outside the program folder is never started.
    write("cfg/outside_main.xml", config(main_exe="..\\e2e-outside-main.exe"))
    write("broken_list/2.0/filelist.xml", "<Files>\r\n  <File Name=\"a.txt\" Hash=\"1\">\r\n")


if __name__ == "__main__":
    main()
