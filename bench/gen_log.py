#!/usr/bin/env python3
"""Writes a SHOUTcast W3C access log of a given number of lines, the same for the same seed.

Usage: gen_log.py LINES OUT [--seed N]. Prints the number of data lines written.
About a third of the lines end in CR LF, the rest in LF; a #Date directive block comes back now
and then, as after a server restart.
"""
import argparse
import random
import urllib.parse

TITLES = [
    "Björk - Jóga", "Sigur Rós - Hoppípolla", "Mötley Crüe - Kickstart My Heart",
    "Beyoncé - Halo", "坂本龍一 - Merry Christmas Mr. Lawrence", "Daft Punk - One More Time",
    "Radiohead - Paranoid Android", "Édith Piaf - La Vie en rose", "The Beatles - Let It Be",
    "Queen - Bohemian Rhapsody", "Nena - 99 Luftballons", "Los Del Río - Macarena",
    "Kraftwerk - Das Model", "Rammstein - Du hast", "Ásgeir - King and Cross",
    "Café Tacvba - Eres", "Röyksopp - Eple", "Mø - Final Song", "Tiësto - Adagio for Strings",
    "Chopin - Nocturne Op. 9 No. 2", "AC/DC - Back in Black", "Guns N' Roses - Patience",
    "Simon & Garfunkel - The Boxer", "Sade - Smooth Operator", "Prince - Purple Rain",
    "Moby - Porcelain", "Portishead - Glory Box", "Massive Attack - Teardrop",
    "Air - La Femme d'Argent", "Zaz - Je veux", "Yann Tiersen - Comptine d'un autre été",
]
AGENTS = [
    "VLC/3.0.18 LibVLC/3.0.18", "WinampMPEG/5.66, Ultravox/2.1", "foobar2000/1.6.16",
    "iTunes/12.12.4 (Macintosh; OS X 13.1) AppleWebKit/615.1.26",
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/120.0.0.0 Safari/537.36",
    "Mozilla/5.0 (X11; Linux x86_64; rv:121.0) Gecko/20100101 Firefox/121.0",
    "NSPlayer/12.00.19041.3636 WMFSDK/12.00.19041.3636", "Lavf/58.76.100",
    "AppleCoreMedia/1.0.0.20G165 (iPhone; U; CPU OS 16_6 like Mac OS X; en_us)",
    "Streamripper/1.x", "MPlayer 1.5-12", "XBMC/19.4 (Linux; Android 11)",
]
URIS = ["/stream?title=", "/;stream.mp3?title=", "/listen?title="]
STATUSES = [200] * 95 + [206] * 2 + [404] * 2 + [403]
BANDWIDTHS = [24, 32, 48, 64, 96, 128, 128, 128, 160, 192, 256, 320]
FIELDS = ("#Fields: c-ip c-dns date time cs-uri-stem c-status cs(User-Agent) sc-bytes "
          "x-duration avgbandwidth")


def quote(text):
    return urllib.parse.quote(text, safe="")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("lines", type=int)
    parser.add_argument("out")
    parser.add_argument("--seed", type=int, default=20240301)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    titles = [quote(t) for t in TITLES]
    agents = [quote(a) for a in AGENTS]
    clients = []
    for _ in range(5000):
        ip = "%d.%d.%d.%d" % (rng.choice([192, 198, 203, 81, 85, 91, 176, 217]),
                              rng.randrange(256), rng.randrange(256), rng.randrange(1, 255))
        dns = ip if rng.random() < 0.6 else "host-%s.example.net" % ip.replace(".", "-")
        clients.append((ip, dns, rng.choice(agents)))
    seconds = 0
    data = 0
    written = 0
    with open(args.out, "w", encoding="ascii", newline="") as out:
        def emit(text):
            nonlocal written
            out.write(text + ("\r\n" if rng.random() < 0.33 else "\n"))
            written += 1

        while written < args.lines:
            if written % 50000 == 0:
                day, rest = divmod(seconds, 86400)
                emit("#Software: SHOUTcast Distributed Network Audio Server/Linux v2.6.1.777")
                emit("#Version: 1.0")
                emit("#Date: 2024-03-%02d %02d:%02d:%02d" % (1 + day % 28, rest // 3600,
                                                            rest // 60 % 60, rest % 60))
                emit(FIELDS)
                continue
            seconds += rng.randrange(3)
            day, rest = divmod(seconds, 86400)
            ip, dns, agent = rng.choice(clients)
            uri = rng.choice(URIS) + rng.choice(titles)
            duration = rng.randrange(1, 14400)
            bandwidth = rng.choice(BANDWIDTHS)
            emit("%s %s 2024-03-%02d %02d:%02d:%02d %s %d %s %d %d %d" % (
                ip, dns, 1 + day % 28, rest // 3600, rest // 60 % 60, rest % 60, uri,
                rng.choice(STATUSES), agent, duration * bandwidth * 125, duration, bandwidth))
            data += 1
    print(data)


if __name__ == "__main__":
    main()
