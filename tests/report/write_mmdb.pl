#!/usr/bin/perl
# Writes a tiny MaxMind-format country database for the report tests:
# 192.0.2.0/24 is in the US, 198.51.100.0/24 in Germany, everything else has no country.
use strict;
use warnings;
use MaxMind::DB::Writer::Tree;

my $tree = MaxMind::DB::Writer::Tree->new(
    ip_version               => 6,
    record_size              => 24,
    database_type            => 'Brenvale-Test-Country',
    languages                => ['en'],
    description              => { en => 'Countries of the report tests' },
    remove_reserved_networks => 0,
    alias_ipv6_to_ipv4       => 1,
    map_key_type_callback    => sub { { country => 'map', iso_code => 'utf8_string' }->{ $_[0] } },
);
$tree->insert_network('192.0.2.0/24', { country => { iso_code => 'US' } });
$tree->insert_network('198.51.100.0/24', { country => { iso_code => 'DE' } });
open my $out, '>:raw', $ARGV[0] or die "cannot write $ARGV[0]: $!";
$tree->write_tree($out);
close $out or die "cannot write $ARGV[0]: $!";
