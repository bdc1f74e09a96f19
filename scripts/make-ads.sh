#!/usr/bin/env bash
# Rebuilds resources/ads.txt, the advertising and tracking host list, from the
# EasyList and EasyPrivacy filter lists that Debian ships inside the package
# webext-ublock-origin-firefox (GPL-3+; the lists are GPL-3+ or CC-BY-SA-3.0+).
#
#   scripts/make-ads.sh EXTRACTED_PACKAGE_ROOT > resources/ads.txt
#
# where the root comes from: apt-get download webext-ublock-origin-firefox &&
# dpkg-deb -x webext-ublock-origin-firefox_*.deb ROOT
#
# Kept: "||host^" rules without a domain restriction from the ad-server and
# tracking-server sections whose names read as advertising or tracking, plus a
# few well-known ad-technology domains of those lists; dropped: random hex
# names, ".click" hosts and shared hosting or CDN domains. One host a line,
# lower case, sorted without regard to case.
set -euo pipefail
root=$1
E=$(find "$root" -name easylist.txt); P=$(find "$root" -name easyprivacy.txt)
re='^\|\|([a-z0-9-]+\.)+[a-z]{2,}\^(\$(third-party|popup|script|image|xmlhttprequest|subdocument|~third-party|media|ping|all|object|other|,)+)?$'
sect() { awk -v s="$2" '/^! \*\*\* /{on = (index($0, s) > 0)} on' "$1"; }
hosts() { grep -E "$re" | sed -E 's/^\|\|//; s/\^.*$//' | sort -u; }
A=$( { for s in easylist_adservers.txt easylist_adservers_popup.txt adult_adservers.txt adult_adservers_popup.txt; do
        sect "$E" "easylist/$s"; sect "$E" "easylist_adult/$s"; done; } | hosts)
B=$( { sect "$E" easylist_thirdparty.txt; sect "$P" easyprivacy_trackingservers; sect "$P" easyprivacy_thirdparty.txt; } | hosts)
AB=$(printf '%s\n%s\n' "$A" "$B" | sort -u)
shared='(cdn77\.org|b-cdn\.net|akamaihd\.net|fastly\.net|amazonaws\.com|cloudfront\.net|azurewebsites\.net|herokuapp\.com|github\.io|netlify\.app|workers\.dev|pages\.dev|web\.app|firebaseapp\.com|blogspot\.com)$'
W='(^|[.-])ads?([.-]|[0-9])|^ad(serv|vert|tech|net|sys|track|click|nxs|form|media|vantage|spirit|dynamo|ition|roll|blade|gear|brite|colony|cash|kernel|maven|sterra|zerk)|adserv|advert|banner|click[a-z0-9-]*\.|track|pixel|counter|analytic|metric|affiliat|promo|doubleclick|adsystem|syndicat|popunder|popads|impression|beacon|stats?[.-]|^stat|telemetry|tagmanager|servedby|serving'
known="criteo.com criteo.net taboola.com outbrain.com scorecardresearch.com quantserve.com googleadservices.com google-analytics.com advertising.com pubmatic.com rubiconproject.com openx.net casalemedia.com adform.net moatads.com adnxs.com doubleclick.net smartadserver.com adroll.com bidswitch.net contextweb.com yieldmo.com sharethrough.com teads.tv spotxchange.com springserve.com indexww.com 33across.com revcontent.com mgid.com zedo.com exoclick.com propellerads.com popads.net adcash.com hotjar.com mixpanel.com chartbeat.com newrelic.com nr-data.net imrworldwide.com comscore.com krxd.net bluekai.com demdex.net omtrdc.net everesttech.net exelator.com rlcdn.com adsrvr.org bidr.io lijit.com sovrn.com yieldlab.net adition.com adtech.de serving-sys.com 2mdn.net"
{ echo "$AB" | grep -E "$W|ads" | grep -vE '^[0-9a-f]{6,}\.|\.click$' | grep -vE "$shared"
  for d in $known; do echo "$AB" | grep -x "$d" || true; done; } | LC_ALL=C sort -f -u
