-- The DOTZ records of 2024-03-15, all branches, formatted by SQL into one file:
-- the baseline for a whole export. Amounts with two decimals, customer ids of 16
-- characters in groups of four, points in the general form with ",".
SELECT '500|' || f.CDINTEGRADOTZ || '|' || v.CDFILIAL || '|' || coalesce(v.CDPROMOCAODOTZ, '') || '|'
    || v.CDFILIAL || v.CDCAIXA || v.NRCUPOMFIS || '|'
    || CASE WHEN length(v.CDIDCLIENTEDOTZ) = 16 THEN substr(v.CDIDCLIENTEDOTZ, 1, 4) || '-' || substr(v.CDIDCLIENTEDOTZ, 5, 4) || '-' || substr(v.CDIDCLIENTEDOTZ, 9, 4) || '-' || substr(v.CDIDCLIENTEDOTZ, 13, 4) ELSE v.CDIDCLIENTEDOTZ END
    || '||' || printf('%.2f', v.VRTOTVENDA) || '|' || v.DTVENDA || '|' || v.HRVENDA || '|' || v.CDCAIXA || '|' || v.CDOPERADOR
    || '|' || replace(printf('%!.15g', v.NRDOTZ), '.', ',') || char(13)
  FROM VENDA v JOIN FILIAL f ON f.CDFILIAL = v.CDFILIAL
  WHERE v.DTVENDA = '2024-03-15' AND v.CDIDCLIENTEDOTZ IS NOT NULL AND v.NRDOTZ > 0
  ORDER BY v.CDFILIAL, v.CDCAIXA, v.NRCUPOMFIS;
SELECT '510|' || f.CDINTEGRADOTZ || '|' || i.CDFILIAL || '|' || i.CDCAIXA || '|' || coalesce(i.CDPROMOCAODOTZ, '') || '|'
    || i.CDFILIAL || i.CDCAIXA || i.NRCUPOMFIS || '|'
    || CASE WHEN length(v.CDIDCLIENTEDOTZ) = 16 THEN substr(v.CDIDCLIENTEDOTZ, 1, 4) || '-' || substr(v.CDIDCLIENTEDOTZ, 5, 4) || '-' || substr(v.CDIDCLIENTEDOTZ, 9, 4) || '-' || substr(v.CDIDCLIENTEDOTZ, 13, 4) ELSE v.CDIDCLIENTEDOTZ END
    || '|' || i.CDPRODUTO || '|' || coalesce(p.CDBARPRODUTO, '') || '|' || replace(printf('%!.15g', i.QTPRODVEND), '.', ',')
    || '|' || printf('%.2f', i.VRUNITVEND) || '|' || printf('%.2f', i.VRTOTAL) || '||' || replace(printf('%!.15g', i.NRDOTZEXTRA), '.', ',') || char(13)
  FROM ITEMVENDA i
  JOIN VENDA v ON v.DTVENDA = i.DTVENDA AND v.CDFILIAL = i.CDFILIAL AND v.CDCAIXA = i.CDCAIXA AND v.NRCUPOMFIS = i.NRCUPOMFIS
  JOIN FILIAL f ON f.CDFILIAL = i.CDFILIAL JOIN PRODUTO p ON p.CDPRODUTO = i.CDPRODUTO
  WHERE i.DTVENDA = '2024-03-15' AND v.CDIDCLIENTEDOTZ IS NOT NULL AND i.NRDOTZEXTRA > 0
  ORDER BY i.CDFILIAL, i.CDCAIXA, i.NRCUPOMFIS, i.NRSEQITEM;
SELECT '515|' || f.CDINTEGRADOTZ || '|' || pf.CDFILIAL || '|' || pp.CDPROMOCAODOTZ || '|' || pp.CDPRODUTO || '|||'
    || coalesce(p.CDBARPRODUTO, '') || '|' || p.NMPRODUTO || '|' || printf('%.2f', pp.VRPRECITEM) || '|'
    || replace(printf('%!.15g', pp.VRPONTOPROD), '.', ',') || '|' || pp.DTINIVIGPROD || '|' || pp.DTFIMVIGPROD || char(13)
  FROM PROMOCAODOTZFILIAL pf JOIN PROMOCAODOTZ pr ON pr.CDPROMOCAODOTZ = pf.CDPROMOCAODOTZ
  JOIN PRODPROMODOTZ pp ON pp.CDPROMOCAODOTZ = pf.CDPROMOCAODOTZ JOIN PRODUTO p ON p.CDPRODUTO = pp.CDPRODUTO
  JOIN FILIAL f ON f.CDFILIAL = pf.CDFILIAL
  WHERE pr.DTINIVIG <= '2024-03-15' AND pr.DTFIMVIG >= '2024-03-15'
  ORDER BY pf.CDFILIAL, pp.CDPROMOCAODOTZ, pp.CDPRODUTO;
